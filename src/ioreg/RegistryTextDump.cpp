#include "ioreg/RegistryTextDump.h"

#include "base/CollectorError.h"
#include "steps/StepContext.h"
#include "base/Timestamps.h"
#include "registry/RegistryProperties.h"
#include "registry/RegistryWalk.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"

#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <memory>

namespace velkor {
namespace {

constexpr int kEntryBudget = 12000;
constexpr int kMostIndentLevels = 24;
constexpr qsizetype kLongestValue = 240;
constexpr qsizetype kTextProbeBytes = 96;
constexpr qsizetype kHexBytes = 48;
constexpr qsizetype kMostDictionaryKeys = 12;
// Lists and dictionaries nested deeper than this render empty, so no value can exhaust the stack.
constexpr int kMostNesting = 256;

const QString kRootMissing = QStringLiteral("Could not open IORegistry root entry for ioreg.txt fallback.");

const QStringList& nameKeys()
{
    static const QStringList keys{QStringLiteral("IORegistryEntryName"), QStringLiteral("IOName"), QStringLiteral("name"),
                                  QStringLiteral("CFBundleIdentifier"), QStringLiteral("IOClass")};
    return keys;
}

const QString kClassKey = QStringLiteral("IOClass");

// The properties a reader of the listing needs to recognise a device and its driver; every
// other property is left out to keep the file small.
const QStringList& whitelistedKeys()
{
    static const QStringList keys{
        QStringLiteral("IOName"),          QStringLiteral("name"),
        QStringLiteral("compatible"),      QStringLiteral("device-id"),
        QStringLiteral("vendor-id"),       QStringLiteral("subsystem-id"),
        QStringLiteral("subsystem-vendor-id"), QStringLiteral("class-code"),
        QStringLiteral("IOProviderClass"), QStringLiteral("IOClass"),
        QStringLiteral("IOProbeScore"),    QStringLiteral("IONameMatch"),
        QStringLiteral("IOPCIPrimaryMatch"), QStringLiteral("port"),
        QStringLiteral("port-count"),      QStringLiteral("UsbConnector"),
        QStringLiteral("usb-port-number"), QStringLiteral("usb-port-type"),
        QStringLiteral("locationID"),      QStringLiteral("IOPowerManagement"),
        QStringLiteral("IOPCITunnelCompatible"), QStringLiteral("IOPCIPauseCompatible"),
    };
    return keys;
}

// Cuts a text after 240 user-perceived characters (grapheme clusters), so an accent or an
// emoji is never split in half, and marks the cut with "...".
QString lengthLimited(const QString& text)
{
    if (text.size() <= kLongestValue)
        return text; // never more clusters than UTF-16 units
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    qsizetype cut = -1;
    while (clusters.toNextBoundary() >= 0) {
        ++count;
        if (count == kLongestValue)
            cut = clusters.position();
        if (count > kLongestValue)
            return text.left(cut) + QStringLiteral("...");
    }
    return text;
}

QString cleaned(QString text)
{
    text.remove(QChar(0));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return lengthLimited(text.trimmed());
}

bool isNumber(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

QString renderedNumber(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::ULongLong:
    case QMetaType::ULong:
        return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    default:
        return QString::number(value.toLongLong());
    }
}

QString renderedValue(const QVariant& value, int nesting);

QString renderedDictionary(const QVariantMap& dictionary, int nesting)
{
    // QVariantMap keeps its keys in ascending order of their UTF-16 units: byte order for ASCII.
    QStringList pairs;
    qsizetype taken = 0;
    for (auto it = dictionary.constBegin(); it != dictionary.constEnd() && taken < kMostDictionaryKeys; ++it, ++taken) {
        const QString rendered = renderedValue(it.value(), nesting + 1);
        if (!rendered.isEmpty())
            pairs.append(it.key() + QStringLiteral(": ") + rendered);
    }
    return lengthLimited(pairs.join(QStringLiteral("; ")));
}

QString renderedValue(const QVariant& value, int nesting)
{
    if (value.typeId() == QMetaType::QString)
        return cleaned(value.toString());
    if (isNumber(value))
        return renderedNumber(value);
    if (value.typeId() == QMetaType::QByteArray)
        return renderedRegistryData(value.toByteArray());
    if (nesting > kMostNesting)
        return {};
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList parts;
        for (const QVariant& element : value.toList()) {
            QString rendered = renderedValue(element, nesting + 1);
            if (!rendered.isEmpty())
                parts.append(std::move(rendered));
        }
        return lengthLimited(parts.join(QStringLiteral(", ")));
    }
    if (value.typeId() == QMetaType::QVariantMap || value.typeId() == QMetaType::QVariantHash)
        return renderedDictionary(registryDictionary(value), nesting);
    return cleaned(value.toString());
}

void appendEntryLines(const RegistryEntry& entry, int depth, QStringList& lines)
{
    const QVariantMap properties = entry.properties();
    const QString indentation(2 * std::min(depth, kMostIndentLevels), QLatin1Char(' '));

    QString name;
    for (const QString& key : nameKeys()) {
        const auto found = properties.constFind(key);
        if (found == properties.constEnd())
            continue;
        name = renderedRegistryValue(found.value());
        if (!name.isEmpty())
            break;
    }
    if (name.isEmpty())
        name = QStringLiteral("IORegistryEntry");

    QString classSuffix;
    if (const auto found = properties.constFind(kClassKey); found != properties.constEnd()) {
        const QString rendered = renderedRegistryValue(found.value());
        if (!rendered.isEmpty())
            classSuffix = QStringLiteral(" <") + rendered + QLatin1Char('>');
    }
    lines.append(indentation + QStringLiteral("+- ") + name + classSuffix);

    for (const QString& key : whitelistedKeys()) {
        const auto found = properties.constFind(key);
        if (found == properties.constEnd())
            continue;
        const QString rendered = renderedRegistryValue(found.value());
        if (!rendered.isEmpty())
            lines.append(indentation + QStringLiteral("    | ") + key + QStringLiteral(" = ") + rendered);
    }
}

} // namespace

QString renderedRegistryData(const QByteArray& data)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(data.left(kTextProbeBytes));
    if (!decoder.hasError()) {
        const QString text = cleaned(decoded);
        const bool printable = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7E; });
        if (!text.isEmpty() && printable)
            return text;
    }
    QString hex = QStringLiteral("<") + QString::fromLatin1(data.left(kHexBytes).toHex());
    if (data.size() > kHexBytes)
        hex += QStringLiteral("...");
    return hex + QLatin1Char('>');
}

QString renderedRegistryValue(const QVariant& value)
{
    return renderedValue(value, 0);
}

bool appendRegistryEntryText(const RegistryEntry& entry, int depth, QStringList& lines, int& remaining)
{
    if (remaining < 1)
        return true;
    const RegistryWalkResult walked = walkRegistry(entry, kIOServicePlane, {.maxEntries = remaining}, [&](const RegistryVisit& visit) {
        appendEntryLines(visit.entry, depth + visit.depth, lines);
        return true;
    });
    remaining -= int(walked.visited);
    return walked.truncated;
}

void writeFallbackIORegText(const Registry& registry, const QString& to, const QDateTime& generatedAt)
{
    QStringList lines{
        QStringLiteral("Velkor native IORegistry text fallback"),
        QStringLiteral("Generated: ") + reportTimestamp(generatedAt),
        QStringLiteral("Source: live IOKit IORegistry. This app generates ioreg.txt directly and does not save .ioreg."),
        QStringLiteral("Sensitive values are redacted before packaging."),
        QString(),
    };
    std::unique_ptr<RegistryEntry> root = registry.rootEntry();
    if (!root)
        throw CollectorError::operationFailed(kRootMissing);

    int remaining = kEntryBudget;
    const bool truncated = appendRegistryEntryText(*root, 0, lines, remaining);
    root.reset();
    if (truncated) {
        lines.append(QString());
        lines.append(QStringLiteral("[Output truncated to keep the diagnostic package small]"));
    }
    writeTextFile(to, maskText(lines.join(QLatin1Char('\n'))));
}

void writeFallbackIORegTextStep(StepContext& context, const QString& to)
{
    if (!context.platform.registry)
        throw CollectorError::operationFailed(kRootMissing);
    writeFallbackIORegText(*context.platform.registry, to);
}

} // namespace velkor
