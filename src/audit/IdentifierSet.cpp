#include "audit/IdentifierSet.h"

#include "registry/RegistryProperties.h"
#include "registry/RegistryWalk.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace velkor {
namespace {

constexpr qsizetype kShortestIdentifier = 4;

// Texts firmware puts where a real value is missing; they identify nobody.
const QStringList& placeholderTexts()
{
    static const QStringList placeholders{
        QStringLiteral("To Be Filled By O.E.M."), QStringLiteral("To be filled by O.E.M."), QStringLiteral("Default string"),
        QStringLiteral("Not Specified"), QStringLiteral("Not Applicable"), QStringLiteral("None"),
        QStringLiteral("System Serial Number"), QStringLiteral("Chassis Serial Number"), QStringLiteral("Base Board Serial Number"),
        QStringLiteral("SerialNumber"), QStringLiteral("Serial Number"), QStringLiteral("0123456789"), QStringLiteral("123456789"),
        QStringLiteral("OEM"), QStringLiteral("Unknown"), QStringLiteral("N/A"), QStringLiteral("INVALID"),
    };
    return placeholders;
}

// Account names that every Linux machine has; they name no person.
const QStringList& sharedAccountNames()
{
    static const QStringList names{QStringLiteral("root"), QStringLiteral("user"), QStringLiteral("admin"),
                                   QStringLiteral("guest"), QStringLiteral("nobody"), QStringLiteral("localhost")};
    return names;
}

bool isMadeOfOneCharacter(const QString& value)
{
    QString significant = value;
    significant.remove(QRegularExpression(QStringLiteral("[-:. ]")));
    return significant.isEmpty() || significant.count(significant.front()) == significant.size();
}

QString macDigits(const QString& value)
{
    QString digits;
    for (const QChar c : value) {
        if (c.isLetterOrNumber())
            digits.append(c.toLower());
    }
    return digits;
}

QByteArray utf16(const QString& text, bool bigEndian)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8);
        const char low = char(c.unicode() & 0xFF);
        if (bigEndian) {
            bytes.append(high);
            bytes.append(low);
        } else {
            bytes.append(low);
            bytes.append(high);
        }
    }
    return bytes;
}

bool isWordByte(unsigned char byte)
{
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || byte >= 0x80;
}

} // namespace

bool IdentifierSet::isWorthChecking(const MachineIdentifier& candidate)
{
    const QString value = candidate.value.trimmed();
    if (value.size() < kShortestIdentifier || isMadeOfOneCharacter(value))
        return false;
    for (const QString& placeholder : placeholderTexts()) {
        if (value.compare(placeholder, Qt::CaseInsensitive) == 0)
            return false;
    }
    if (candidate.kind == IdentifierKind::LoginName || candidate.kind == IdentifierKind::HostName) {
        for (const QString& shared : sharedAccountNames()) {
            if (value.compare(shared, Qt::CaseInsensitive) == 0)
                return false;
        }
    }
    if (candidate.kind == IdentifierKind::MACAddress && macDigits(value).size() != 12)
        return false;
    return true;
}

IdentifierSet::IdentifierSet(const std::vector<MachineIdentifier>& candidates)
{
    QSet<QString> seen;
    for (const MachineIdentifier& candidate : candidates) {
        if (!isWorthChecking(candidate))
            continue;
        const QString value = candidate.value.trimmed();
        const QString key = candidate.kind == IdentifierKind::MACAddress ? macDigits(value) : value.toLower();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        m_identifiers.push_back({candidate.kind, value});
    }
    for (int index = 0; index < int(m_identifiers.size()); ++index) {
        const MachineIdentifier& identifier = m_identifiers[size_t(index)];
        if (identifier.kind == IdentifierKind::MACAddress) {
            const QString digits = macDigits(identifier.value);
            QStringList pairs;
            for (int at = 0; at < 12; at += 2)
                pairs.append(digits.mid(at, 2));
            addForms(index, pairs.join(QLatin1Char(':')));
            addForms(index, pairs.join(QLatin1Char('-')));
            addForms(index, digits);
        } else if (identifier.kind == IdentifierKind::ProductKey) {
            addForms(index, identifier.value);
            // Registry listings print table bytes as hexadecimal digits.
            addForms(index, QString::fromLatin1(identifier.value.toUtf8().toHex()));
        } else {
            addForms(index, identifier.value);
        }
    }
    // Longer spellings first, so that where two overlap the longer one is reported first.
    std::stable_sort(m_forms.begin(), m_forms.end(),
                     [](const IdentifierForm& a, const IdentifierForm& b) { return a.bytes.size() > b.bytes.size(); });
    for (const IdentifierForm& form : m_forms)
        m_search.addPattern(form.bytes);
    m_search.build();
}

void IdentifierSet::addForms(int identifier, const QString& spelling)
{
    // Case does not matter to the search, so one spelling covers upper, lower and mixed case.
    const bool wholeToken = m_identifiers[size_t(identifier)].kind != IdentifierKind::ProductKey;
    m_forms.push_back({identifier, Encoding::Utf8, spelling.toUtf8(), wholeToken});
    m_forms.push_back({identifier, Encoding::Utf16LE, utf16(spelling, false), wholeToken});
    m_forms.push_back({identifier, Encoding::Utf16BE, utf16(spelling, true), wholeToken});
}

std::vector<MachineIdentifier> identifiersFromRegistry(const Registry& registry)
{
    std::vector<MachineIdentifier> found;
    const std::unique_ptr<RegistryEntry> platform = platformNode(registry);
    if (!platform)
        return found;
    const RegistryProperties properties(*platform);
    for (const char* key : {"IOPlatformSerialNumber", "serial-number", "board-serial-number"}) {
        const QString value = properties.text(QLatin1String(key)).trimmed();
        if (!value.isEmpty())
            found.push_back({IdentifierKind::SerialNumber, value});
    }
    const QString uuid = properties.text(QStringLiteral("IOPlatformUUID")).trimmed();
    if (!uuid.isEmpty())
        found.push_back({IdentifierKind::UUID, uuid});
    return found;
}

bool matchIsWholeToken(const QByteArray& data, const IdentifierForm& form, qsizetype start, qsizetype length)
{
    if (!form.wholeTokenOnly)
        return true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype end = start + length;
    switch (form.encoding) {
    case Encoding::Utf8:
        return (start == 0 || !isWordByte(bytes[start - 1])) && (end >= data.size() || !isWordByte(bytes[end]));
    case Encoding::Utf16LE:
        // A neighbouring character is a low byte followed by a zero high byte.
        return (start < 2 || bytes[start - 1] != 0 || !isWordByte(bytes[start - 2]))
            && (end + 1 >= data.size() || bytes[end + 1] != 0 || !isWordByte(bytes[end]));
    case Encoding::Utf16BE:
        return (start < 2 || bytes[start - 2] != 0 || !isWordByte(bytes[start - 1]))
            && (end + 1 >= data.size() || bytes[end] != 0 || !isWordByte(bytes[end + 1]));
    }
    return true;
}

QString maskTextFor(IdentifierKind kind)
{
    switch (kind) {
    case IdentifierKind::UUID: return QStringLiteral("XX-MASKED-UUID");
    case IdentifierKind::MACAddress: return QStringLiteral("XX:XX:XX:XX:XX:XX");
    default: return QStringLiteral("XX-MASKED-XX");
    }
}

QString maskIdentifiersInText(const QString& text, const IdentifierSet& set, std::vector<int>* replacedPerIdentifier)
{
    if (set.empty())
        return text;
    const QByteArray bytes = text.toUtf8();
    std::vector<MultiPatternSearch::Match> matches = set.search().findAll(bytes);
    std::vector<MultiPatternSearch::Match> accepted;
    for (const MultiPatternSearch::Match& match : matches) {
        const IdentifierForm& form = set.forms()[size_t(match.pattern)];
        if (form.encoding == Encoding::Utf8 && matchIsWholeToken(bytes, form, match.start, match.length))
            accepted.push_back(match);
    }
    if (accepted.empty())
        return text;
    // Earliest first, the longer spelling first where two start together; overlaps are dropped.
    std::sort(accepted.begin(), accepted.end(), [](const auto& a, const auto& b) {
        return a.start != b.start ? a.start < b.start : a.length > b.length;
    });
    QByteArray result;
    result.reserve(bytes.size());
    qsizetype copied = 0;
    for (const MultiPatternSearch::Match& match : accepted) {
        if (match.start < copied)
            continue;
        const IdentifierForm& form = set.forms()[size_t(match.pattern)];
        result.append(bytes.constData() + copied, match.start - copied);
        result.append(maskTextFor(set.identifiers()[size_t(form.identifier)].kind).toUtf8());
        copied = match.start + match.length;
        if (replacedPerIdentifier) {
            replacedPerIdentifier->resize(set.identifiers().size(), 0);
            ++(*replacedPerIdentifier)[size_t(form.identifier)];
        }
    }
    result.append(bytes.constData() + copied, bytes.size() - copied);
    return QString::fromUtf8(result);
}

} // namespace velkor
