#include "files/TextDecoding.h"

#include <QStringDecoder>

namespace velkor {

std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes, bool keepByteOrderMark)
{
    QStringDecoder::Flags flags = QStringDecoder::Flag::Stateless;
    if (keepByteOrderMark)
        flags |= QStringDecoder::Flag::ConvertInitialBom;
    QStringDecoder decoder(QStringDecoder::Utf8, flags);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString decodeUtf8Lossily(const QByteArray& bytes, bool& replaced, bool keepByteOrderMark)
{
    if (std::optional<QString> text = decodeUtf8Strictly(bytes, keepByteOrderMark))
        return std::move(*text);
    replaced = true;
    QStringDecoder::Flags flags = QStringDecoder::Flag::Stateless;
    if (keepByteOrderMark)
        flags |= QStringDecoder::Flag::ConvertInitialBom;
    QStringDecoder decoder(QStringDecoder::Utf8, flags);
    return decoder(bytes);
}

QByteArray encodeUtf16(const QString& text, bool bigEndian)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8);
        const char low = char(c.unicode() & 0xFF);
        bytes.append(bigEndian ? high : low);
        bytes.append(bigEndian ? low : high);
    }
    return bytes;
}

} // namespace velkor
