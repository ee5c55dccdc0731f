#include "privacy/Sanitizer.h"

#include "base/CollectorError.h"
#include "platform/PropertyListService.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "files/FolderWalk.h"
#include "files/TextDecoding.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>
#include <vector>

namespace velkor {
namespace {

enum class TextEncoding { Utf8, Utf16LE, Utf16BE, Latin1 };

struct DecodedText {
    QString text;
    TextEncoding encoding;
};

// Code units as they are, byte-order mark included, so that writing them back restores the
// file; nothing when the units do not form valid UTF-16 (a lone surrogate).
std::optional<QString> decodeUtf16(const QByteArray& bytes, bool bigEndian)
{
    if (bytes.size() % 2 != 0)
        return std::nullopt;
    QString text(bytes.size() / 2, Qt::Uninitialized);
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype at = 0; at < text.size(); ++at) {
        const unsigned char first = raw[2 * at];
        const unsigned char second = raw[2 * at + 1];
        text[at] = QChar(bigEndian ? char16_t(first << 8 | second) : char16_t(second << 8 | first));
    }
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate())
            ++at;
        else if (text[at].isSurrogate())
            return std::nullopt;
    }
    return text;
}

// UTF-16 without a byte-order mark: text in a Latin script has a zero byte in nearly every
// other position, on the same side, which no 8-bit text has.
std::optional<bool> utf16ByShape(const QByteArray& bytes)
{
    const qsizetype pairs = bytes.size() / 2;
    if (pairs < 2 || bytes.size() % 2 != 0)
        return std::nullopt;
    qsizetype zeroFirst = 0;
    qsizetype zeroSecond = 0;
    for (qsizetype pair = 0; pair < pairs; ++pair) {
        const bool first = bytes[2 * pair] == 0;
        const bool second = bytes[2 * pair + 1] == 0;
        zeroFirst += first && !second;
        zeroSecond += second && !first;
    }
    if (zeroSecond * 4 >= pairs * 3 && zeroFirst == 0)
        return false; // little-endian
    if (zeroFirst * 4 >= pairs * 3 && zeroSecond == 0)
        return true;
    return std::nullopt;
}

DecodedText decodeAnyText(const QByteArray& bytes)
{
    const bool littleMark = bytes.startsWith("\xFF\xFE");
    const bool bigMark = bytes.startsWith("\xFE\xFF");
    std::optional<bool> bigEndian = littleMark ? std::optional(false) : bigMark ? std::optional(true) : utf16ByShape(bytes);
    if (bigEndian) {
        if (std::optional<QString> text = decodeUtf16(bytes, *bigEndian))
            return {std::move(*text), *bigEndian ? TextEncoding::Utf16BE : TextEncoding::Utf16LE};
    }
    if (std::optional<QString> text = decodeUtf8Strictly(bytes, /*keepByteOrderMark=*/true))
        return {std::move(*text), TextEncoding::Utf8};
    // Any other 8-bit text: one character per byte, so the bytes around a match survive as
    // they were whatever their real encoding (Windows-1252, MacRoman...).
    return {QString::fromLatin1(bytes), TextEncoding::Latin1};
}

QByteArray encodeAs(const QString& text, TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf16LE: return encodeUtf16(text, false);
    case TextEncoding::Utf16BE: return encodeUtf16(text, true);
    case TextEncoding::Latin1: return text.toLatin1(); // the masks are ASCII: every character fits
    case TextEncoding::Utf8: break;
    }
    return text.toUtf8();
}

const QRegularExpression& bootloaderIdentityKey()
{
    static const QRegularExpression pattern(
        QStringLiteral("(<key>\\s*(SystemSerialNumber|ChassisSerialNumber|MLB|BoardSerialNumber|ROM|SystemUUID|SmUUID|"
                       "(?:[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}|XX-MASKED-UUID):(?:MLB|ROM))"
                       "\\s*</key>\\s*<(string|data)>)([^<]*)(</\\3>)"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

void addConfiguredValue(const QString& key, const QString& element, const QString& written,
                        std::vector<MachineIdentifier>& found)
{
    const QString value = written.trimmed();
    if (value.isEmpty() || value.startsWith(QLatin1String("XX-MASKED"), Qt::CaseInsensitive))
        return;
    const bool isUUID = key.endsWith(QLatin1String("UUID"), Qt::CaseInsensitive);
    const bool isROM = key.endsWith(QLatin1String("ROM"), Qt::CaseInsensitive);
    const IdentifierKind kind = isUUID ? IdentifierKind::UUID : IdentifierKind::SerialNumber;
    found.push_back({kind, value});
    if (element.compare(QLatin1String("data"), Qt::CaseInsensitive) != 0) {
        if (isROM && value.size() == 12)
            found.push_back({IdentifierKind::MACAddress, value});
        return;
    }
    // <data> is Base64; other files print the bytes as text (MLB) or hexadecimal digits (ROM).
    const QByteArray bytes = QByteArray::fromBase64(value.toLatin1());
    if (bytes.isEmpty())
        return;
    if (isROM && bytes.size() == 6) {
        found.push_back({IdentifierKind::MACAddress, QString::fromLatin1(bytes.toHex())});
        return;
    }
    const bool printable = std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x21 && c < 0x7F; });
    found.push_back({kind, printable ? QString::fromLatin1(bytes) : QString::fromLatin1(bytes.toHex())});
}

} // namespace

QString maskBootloaderIdentity(const QString& original, QString masked, std::vector<MachineIdentifier>* found)
{
    const QRegularExpression& pattern = bootloaderIdentityKey();
    if (found) {
        for (auto it = pattern.globalMatch(original); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            addConfiguredValue(match.captured(2), match.captured(3), match.captured(4), *found);
        }
    }
    QString result;
    qsizetype copied = 0;
    for (auto it = pattern.globalMatch(masked); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (match.captured(4).trimmed().isEmpty())
            continue;
        result.append(QStringView(masked).mid(copied, match.capturedStart(4) - copied));
        result.append(kMaskText);
        copied = match.capturedEnd(4);
    }
    if (copied == 0)
        return masked;
    result.append(QStringView(masked).mid(copied));
    return result;
}

FileSanitizing sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path)
{
    return sanitizeTextLikeFile(propertyLists, path, [](QString text) { return tryMaskText(std::move(text)); });
}

FileSanitizing sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path, const TextMasker& mask)
{
    FileSanitizing outcome;
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return outcome; // a link, a pipe or nothing: no text of its own to mask
    const QString extension = lowerExtension(path);
    if (extension == QLatin1String("plist") || extension == QLatin1String("spx") || extension == QLatin1String("xml"))
        propertyLists.convertToXmlInPlace(path); // not a property list, or not convertible: masked as it is
    std::optional<DecodedText> decoded;
    {
        const std::optional<QByteArray> bytes = readRegularFile(path);
        if (bytes)
            decoded = decodeAnyText(*bytes);
    }
    if (!decoded) {
        // Unreadable, or replaced by something else meanwhile: it must not be packed as it is.
        removePath(path);
        outcome.masked = false;
        return outcome;
    }
    // A byte-order mark is no part of the first line: the rules anchored at a line's start must
    // see that line as it reads. The mark is put back when the file is written.
    const bool marked = decoded->text.startsWith(QChar(0xFEFF));
    if (marked)
        decoded->text.remove(0, 1);
    const QString original = decoded->text;
    std::optional<QString> masked = mask(std::move(decoded->text));
    if (!masked) {
        writeTextFile(path, kUnmaskableTextNote);
        return outcome;
    }
    const QString result = maskBootloaderIdentity(original, std::move(*masked), &outcome.configuredIdentifiers);
    if (decoded->encoding == TextEncoding::Latin1
        && std::any_of(result.begin(), result.end(), [](QChar c) { return c.unicode() > 0xFF; })) {
        writeTextFile(path, kUnmaskableTextNote);
        return outcome;
    }
    writeFileAtomically(path, encodeAs(marked ? QChar(0xFEFF) + result : result, decoded->encoding));
    return outcome;
}

FolderSanitizing sanitizeDirectory(PropertyListService& propertyLists, const QString& folder)
{
    return sanitizeDirectory(propertyLists, folder, [](QString text) { return tryMaskText(std::move(text)); });
}

FolderSanitizing sanitizeDirectory(PropertyListService& propertyLists, const QString& folder, const TextMasker& mask)
{
    FolderSanitizing outcome;
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return outcome; // missing, or a link in the folder's place
    // Hidden files are packed like the others, so they are masked like the others.
    WalkOptions everything;
    everything.includeHidden = true;
    std::vector<std::pair<QString, QString>> files;
    walkFolder(folder, everything, [&files](const FolderEntry& entry) {
        if (entry.kind == EntryKind::File && isTextLikeFile(entry.relative))
            files.emplace_back(entry.path, entry.relative);
    });
    // A failed write ends the walk: the file would reach the package unmasked.
    for (const auto& [path, relative] : files) {
        FileSanitizing file = sanitizeTextLikeFile(propertyLists, path, mask);
        if (!file.masked)
            outcome.removed.append(relative);
        for (MachineIdentifier& identifier : file.configuredIdentifiers)
            outcome.configuredIdentifiers.push_back(std::move(identifier));
    }
    return outcome;
}

QString unmaskableFileWarning(const QString& name)
{
    return QStringLiteral("WARNING: ") + name + QStringLiteral(" was left out of the archive: it could not be read to be masked.");
}

} // namespace velkor
