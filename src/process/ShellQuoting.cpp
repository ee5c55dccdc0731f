#include "process/ShellQuoting.h"

namespace velkor {

QString shellEscaped(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return escaped;
}

QString shellQuoted(const QString& text)
{
    return QLatin1Char('\'') + shellEscaped(text) + QLatin1Char('\'');
}

} // namespace velkor
