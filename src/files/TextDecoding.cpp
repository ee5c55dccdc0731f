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

} // namespace velkor
