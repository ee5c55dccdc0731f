#pragma once

#include <QString>

namespace velkor {

// A text as one word of a shell command line: in single quotes, each single quote as '\''.
QString shellQuoted(const QString& text);
// The same without the surrounding quotes, for a text inside an already single-quoted one.
QString shellEscaped(const QString& text);

} // namespace velkor
