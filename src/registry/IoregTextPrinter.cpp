#include "registry/IoregTextPrinter.h"

#include "registry/RegistryWalk.h"

#include <QByteArray>
#include <QVariantList>
#include <QVariantMap>
#include <vector>

namespace velkor {
namespace {

constexpr int kMaxPrintedDepth = 512;
constexpr int kMaxPrintedEntries = 200000;
// Values nest a few levels in practice; deeper ones are written as an empty text.
constexpr int kMaxValueNesting = 256;
constexpr quint64 kFirstEntryId = 0x100000100;

// Data that is printable texts, each followed by one zero byte (the last one's zero byte may be
// left out), is written as quoted texts the way ioreg writes them; anything else as hex. The
// loader reads <"a","b"> back as "a", a zero byte and "b": exactly the bytes, except that a
// zero byte ending the data is not there any more.
bool isQuotableData(const QByteArray& bytes)
{
    const qsizetype end = bytes.endsWith('\0') ? bytes.size() - 1 : bytes.size();
    if (end < 1)
        return false;
    bool textBefore = false;
    for (qsizetype i = 0; i < end; ++i) {
        const char c = bytes[i];
        if (c == '\0') {
            if (!textBefore)
                return false;
            textBefore = false;
        } else if (c >= 0x20 && c <= 0x7e && c != '"') {
            textBefore = true;
        } else {
            return false;
        }
    }
    return textBefore;
}

void appendData(QString& out, const QByteArray& bytes)
{
    out += QLatin1Char('<');
    if (isQuotableData(bytes)) {
        const QByteArray texts = bytes.endsWith('\0') ? bytes.left(bytes.size() - 1) : bytes;
        QByteArray quoted = "\"";
        quoted.reserve(texts.size() + 2);
        for (const char c : texts) {
            if (c == '\0')
                quoted += "\",\"";
            else
                quoted += c;
        }
        quoted += '"';
        out += QLatin1String(quoted);
    } else {
        out += QString::fromLatin1(bytes.toHex());
    }
    out += QLatin1Char('>');
}

void appendValue(QString& out, const QVariant& value, int nesting)
{
    if (nesting > kMaxValueNesting) {
        out += QStringLiteral("\"\"");
        return;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
        out += value.toBool() ? QStringLiteral("Yes") : QStringLiteral("No");
        return;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
        out += QString::number(value.toLongLong());
        return;
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
        out += QString::number(value.toULongLong());
        return;
    case QMetaType::QByteArray:
        appendData(out, value.toByteArray());
        return;
    case QMetaType::QVariantList: {
        out += QLatin1Char('(');
        const QVariantList list = value.toList();
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += QLatin1Char(',');
            appendValue(out, list[i], nesting + 1);
        }
        out += QLatin1Char(')');
        return;
    }
    case QMetaType::QVariantMap: {
        out += QLatin1Char('{');
        const QVariantMap map = value.toMap();
        bool first = true;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!first)
                out += QLatin1Char(',');
            first = false;
            out += QLatin1Char('"') + it.key() + QStringLiteral("\"=");
            appendValue(out, it.value(), nesting + 1);
        }
        out += QLatin1Char('}');
        return;
    }
    default:
        out += QLatin1Char('"') + value.toString() + QLatin1Char('"');
        return;
    }
}

} // namespace

QString printIoregText(const Registry& registry, const QString& plane, bool withProperties, bool* truncated)
{
    if (truncated)
        *truncated = false;
    QString out;
    std::unique_ptr<RegistryEntry> root = registry.rootEntry();
    if (!root)
        return out;

    quint64 id = kFirstEntryId;
    // prefixes[d]: the drawing in front of the "+-o" of the entry at depth d.
    std::vector<QString> prefixes;
    const RegistryWalkResult walked =
        walkRegistry(*root, plane, {kMaxPrintedDepth, kMaxPrintedEntries}, [&](const RegistryVisit& visit) {
            const RegistryEntry& entry = visit.entry;
            prefixes.resize(size_t(visit.depth) + 1);
            const QString prefix = prefixes.back();
            const QString location = entry.location(plane);
            out += prefix + QStringLiteral("+-o ") + entry.name(plane) + (location.isEmpty() ? QString() : QLatin1Char('@') + location)
                + QStringLiteral("  <class ") + entry.className() + QStringLiteral(", id 0x") + QString::number(id++, 16)
                + QStringLiteral(">\n");

            const QString childPrefix = prefix + (visit.hasLaterSibling ? QStringLiteral("| ") : QStringLiteral("  "));
            if (withProperties) {
                const QString blockPrefix = childPrefix + (visit.hasChildren ? QStringLiteral("| ") : QStringLiteral("  "));
                out += blockPrefix + QStringLiteral("{\n");
                const QVariantMap properties = entry.properties();
                for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
                    out += blockPrefix + QStringLiteral("  \"") + it.key() + QStringLiteral("\" = ");
                    appendValue(out, it.value(), 0);
                    out += QLatin1Char('\n');
                }
                out += blockPrefix + QStringLiteral("}\n") + blockPrefix + QLatin1Char('\n');
            }
            prefixes.push_back(childPrefix);
            return true;
        });
    if (truncated)
        *truncated = walked.truncated;
    return out;
}

} // namespace velkor
