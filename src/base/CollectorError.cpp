#include "base/CollectorError.h"

#include <algorithm>

#include <cstring>

namespace velkor {

VelkorError::VelkorError(QString description)
    : m_description(std::move(description)), m_utf8(m_description.toUtf8())
{
}

QString describeError(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const VelkorError*>(&error))
        return escapeControlCharacters(own->description());
    return escapeControlCharacters(QString::fromUtf8(error.what()));
}

QString escapeControlCharacters(const QString& text)
{
    const auto isControl = [](QChar c) {
        const char16_t u = c.unicode();
        return (u < 0x20 && u != u'\n' && u != u'\t') || (u >= 0x7F && u <= 0x9F);
    };
    if (std::none_of(text.cbegin(), text.cend(), isControl))
        return text;
    QString escaped;
    escaped.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (isControl(c))
            escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace velkor
