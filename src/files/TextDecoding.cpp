#include "files/TextDecoding.h"

#include <QStringDecoder>
#include <QStringView>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace velkor {
namespace {

constexpr qsizetype kReleaseSlice = 4 << 20;

// Gives the whole pages within [begin, end) back to the system; they read as zeros afterwards.
// Only for memory the caller owns alone and does not read again: the tail of a buffer about to
// be freed stays valid memory, so the allocator's own bookkeeping around it is unaffected.
void releasePages(const void* begin, const void* end)
{
    const auto page = quintptr(::sysconf(_SC_PAGESIZE));
    const quintptr from = (quintptr(begin) + page - 1) & ~(page - 1);
    const quintptr to = quintptr(end) & ~(page - 1);
    if (to > from)
        ::madvise(reinterpret_cast<void*>(from), size_t(to - from), MADV_DONTNEED);
}

} // namespace

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

QString decodeUtf8LossilyReleasing(QByteArray bytes, bool& replaced)
{
    if (bytes.size() <= kReleaseSlice || !bytes.isDetached())
        return decodeUtf8Lossily(bytes, replaced);
    const char* data = bytes.constData();
    const qsizetype n = bytes.size();
    QString text;
    text.reserve(n); // address space only: pages are touched as the text grows
    for (qsizetype from = 0; from < n;) {
        // A slice ends before a byte that can begin a sequence, so none is split. A sequence is
        // at most four bytes: when the byte at the planned end and the three before it are all
        // continuation bytes, no sequence crosses that end.
        qsizetype end = std::min(n, from + kReleaseSlice);
        for (qsizetype back = 0; end < n && back < 4; ++back) {
            if ((uchar(data[end - back]) & 0xC0) != 0x80) {
                end -= back;
                break;
            }
        }
        text.append(decodeUtf8Lossily(QByteArray::fromRawData(data + from, end - from), replaced, from > 0));
        releasePages(data + from, data + end);
        from = end;
    }
    return text;
}

QByteArray encodeUtf8Releasing(QString text)
{
    if (text.size() <= kReleaseSlice || !text.isDetached())
        return text.toUtf8();
    QByteArray bytes;
    const QChar* data = text.constData();
    for (qsizetype from = 0; from < text.size();) {
        qsizetype length = std::min(kReleaseSlice, text.size() - from);
        if (from + length < text.size() && data[from + length - 1].isHighSurrogate())
            ++length; // a surrogate pair stays whole
        bytes.append(QStringView(data + from, length).toUtf8());
        releasePages(data + from, data + from + length);
        from += length;
    }
    return bytes;
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
