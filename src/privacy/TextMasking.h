#pragma once

#include <QString>

namespace velkor {

// Applies the ten redaction rules, in order, to a text in memory: serial numbers, UUIDs,
// MLB, ROM, provisioning identifiers and MAC addresses become fixed mask texts.
QString maskText(const QString& text);

} // namespace velkor
