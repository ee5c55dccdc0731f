#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace velkor {

// Decodes UTF-8 strictly: nothing when the bytes are not valid UTF-8 (no lossy replacement).
// A leading byte-order mark is kept as part of the text when asked, so a file rewritten from
// the text keeps it.
std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes, bool keepByteOrderMark = false);

} // namespace velkor
