#include "audit/IdentifierSet.h"

#include "files/TextDecoding.h"

#include "registry/RegistryProperties.h"
#include "registry/RegistryWalk.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace velkor {
namespace {

constexpr qsizetype kShortestIdentifier = 4;
constexpr qsizetype kShortestName = 3;

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

// Names every machine of a kind shares, so they name nobody: the operating systems' own names
// (which installers and live sessions give as host and login name, "debian", "ubuntu"), their
// default accounts ("pi", "liveuser", "amnesia") and generic host names. Masking one of them
// would mask the OS name in every report (NAME="Debian GNU/Linux").
const QStringList& sharedNames()
{
    static const QStringList names{
        QStringLiteral("root"), QStringLiteral("user"), QStringLiteral("admin"), QStringLiteral("administrator"),
        QStringLiteral("guest"), QStringLiteral("nobody"), QStringLiteral("test"), QStringLiteral("default"),
        QStringLiteral("localhost"), QStringLiteral("localhost.localdomain"), QStringLiteral("localdomain"),
        QStringLiteral("linux"), QStringLiteral("computer"), QStringLiteral("desktop"), QStringLiteral("laptop"),
        QStringLiteral("live"), QStringLiteral("liveuser"), QStringLiteral("livecd"), QStringLiteral("amnesia"),
        QStringLiteral("debian"), QStringLiteral("ubuntu"), QStringLiteral("kubuntu"), QStringLiteral("xubuntu"),
        QStringLiteral("lubuntu"), QStringLiteral("mint"), QStringLiteral("linuxmint"), QStringLiteral("fedora"),
        QStringLiteral("centos"), QStringLiteral("rhel"), QStringLiteral("rocky"), QStringLiteral("alma"),
        QStringLiteral("arch"), QStringLiteral("archlinux"), QStringLiteral("manjaro"), QStringLiteral("endeavouros"),
        QStringLiteral("opensuse"), QStringLiteral("suse"), QStringLiteral("gentoo"), QStringLiteral("alpine"),
        QStringLiteral("pop-os"), QStringLiteral("elementary"), QStringLiteral("zorin"), QStringLiteral("kali"),
        QStringLiteral("parrot"), QStringLiteral("deepin"), QStringLiteral("nixos"), QStringLiteral("void"),
        QStringLiteral("garuda"), QStringLiteral("solus"), QStringLiteral("steamos"), QStringLiteral("deck"),
        QStringLiteral("raspberrypi"), QStringLiteral("pi"),
    };
    return names;
}

bool isNameKind(IdentifierKind kind)
{
    return kind == IdentifierKind::LoginName || kind == IdentifierKind::HostName || kind == IdentifierKind::PersonalName
        || kind == IdentifierKind::NetworkName;
}

// "0000:00:14.0": where a USB root hub's serial should be, the kernel gives its controller's
// PCI address, which is in every listing of the machine's buses.
bool isPciAddress(const QString& value)
{
    static const QRegularExpression pci(QStringLiteral("^(?:[0-9a-f]{4}:)?[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]$"),
                                        QRegularExpression::CaseInsensitiveOption);
    return pci.match(value).hasMatch();
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

bool isWordCharacter(char32_t c)
{
    return QChar::isLetterOrNumber(c);
}

// The character that ends just before `at`: a UTF-8 sequence, or one byte taken as Latin-1
// where the bytes are not UTF-8 (a file in an 8-bit encoding).
char32_t characterBefore(const unsigned char* bytes, qsizetype at)
{
    qsizetype lead = at - 1;
    while (lead > 0 && at - lead < 4 && (bytes[lead] & 0xC0) == 0x80)
        --lead;
    const QString decoded = QString::fromUtf8(reinterpret_cast<const char*>(bytes + lead), at - lead);
    const QList<uint> points = decoded.toUcs4();
    if (points.size() == 1 && points.front() != 0xFFFD)
        return points.front();
    return bytes[at - 1];
}

char32_t characterAt(const unsigned char* bytes, qsizetype at, qsizetype size)
{
    const unsigned char lead = bytes[at];
    const qsizetype length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
    if (length > 1 && at + length <= size) {
        const QList<uint> points = QString::fromUtf8(reinterpret_cast<const char*>(bytes + at), length).toUcs4();
        if (points.size() == 1 && points.front() != 0xFFFD)
            return points.front();
    }
    return lead;
}

bool isWordUnit(char16_t unit)
{
    return !QChar::isSurrogate(unit) && isWordCharacter(unit);
}

// The interface identifier an IPv6 address derives from a MAC address (modified EUI-64), as
// addresses are printed: four groups, leading zeros dropped ("8e16:45ff:fe12:3456").
QString eui64InterfaceId(const QString& digits)
{
    QByteArray bytes = QByteArray::fromHex(digits.toLatin1());
    bytes[0] = char(bytes[0] ^ 0x02);
    const QByteArray id = bytes.left(3) + QByteArray("\xFF\xFE", 2) + bytes.mid(3);
    QStringList groups;
    for (int at = 0; at < 8; at += 2)
        groups.append(QString::number((uint(uchar(id[at])) << 8) | uchar(id[at + 1]), 16));
    return groups.join(QLatin1Char(':'));
}

} // namespace

bool IdentifierSet::isWorthChecking(const MachineIdentifier& candidate)
{
    const QString value = candidate.value.trimmed();
    // Three letters make a login or host name ("bob"); other identifiers are longer.
    const qsizetype shortest = isNameKind(candidate.kind) ? kShortestName : kShortestIdentifier;
    if (value.size() < shortest || isMadeOfOneCharacter(value) || isPciAddress(value))
        return false;
    for (const QString& placeholder : placeholderTexts()) {
        if (value.compare(placeholder, Qt::CaseInsensitive) == 0)
            return false;
    }
    if (isNameKind(candidate.kind)) {
        for (const QString& shared : sharedNames()) {
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
            addForms(index, pairs.join(QLatin1Char('_'))); // BlueZ: /org/bluez/hci0/dev_5C_F3_70_12_34_56
            addForms(index, QStringLiteral("enx") + digits, 3); // udev's name for a USB network adapter
            addForms(index, eui64InterfaceId(digits)); // its IPv6 addresses without privacy extensions
        } else if (identifier.kind == IdentifierKind::UUID) {
            addForms(index, identifier.value);
            // machine-id and boot id: printed with and without the hyphens of a UUID.
            QString hex = identifier.value;
            hex.remove(QLatin1Char('-'));
            static const QRegularExpression hex32(QStringLiteral("^[0-9a-fA-F]{32}$"));
            if (hex32.match(hex).hasMatch()) {
                const QString hyphenated = hex.mid(0, 8) + QLatin1Char('-') + hex.mid(8, 4) + QLatin1Char('-') + hex.mid(12, 4)
                    + QLatin1Char('-') + hex.mid(16, 4) + QLatin1Char('-') + hex.mid(20);
                addForms(index, hex.compare(identifier.value, Qt::CaseInsensitive) == 0 ? hyphenated : hex);
            }
        } else if (identifier.kind == IdentifierKind::HostName && identifier.value.contains(QLatin1Char('-'))) {
            addForms(index, identifier.value);
            // Device-mapper doubles the hyphens of an LVM name: smith--laptop--vg-root.
            addForms(index, QString(identifier.value).replace(QLatin1Char('-'), QStringLiteral("--")));
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

void IdentifierSet::addForms(int identifier, const QString& spelling, qsizetype keptPrefix)
{
    // Case does not matter to the search, so one spelling covers upper, lower and mixed case.
    const bool wholeToken = m_identifiers[size_t(identifier)].kind != IdentifierKind::ProductKey;
    m_forms.push_back({identifier, Encoding::Utf8, spelling.toUtf8(), wholeToken, keptPrefix});
    m_forms.push_back({identifier, Encoding::Utf16LE, encodeUtf16(spelling, false), wholeToken, keptPrefix * 2});
    m_forms.push_back({identifier, Encoding::Utf16BE, encodeUtf16(spelling, true), wholeToken, keptPrefix * 2});
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
        return (start == 0 || !isWordCharacter(characterBefore(bytes, start)))
            && (end >= data.size() || !isWordCharacter(characterAt(bytes, end, data.size())));
    case Encoding::Utf16LE:
        return (start < 2 || !isWordUnit(char16_t(bytes[start - 1] << 8 | bytes[start - 2])))
            && (end + 1 >= data.size() || !isWordUnit(char16_t(bytes[end + 1] << 8 | bytes[end])));
    case Encoding::Utf16BE:
        return (start < 2 || !isWordUnit(char16_t(bytes[start - 2] << 8 | bytes[start - 1])))
            && (end + 1 >= data.size() || !isWordUnit(char16_t(bytes[end] << 8 | bytes[end + 1])));
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
        result.append(bytes.constData() + copied, match.start - copied + form.keptPrefix);
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
