#include "acpi/PrivilegedHandover.h"

#include "steps/PackageLayout.h"

#include <QRegularExpression>
#include <QSet>

namespace velkor {
namespace {

const QByteArray kFirstLine = QByteArrayLiteral("VELKOR-PRIVILEGED 1");
const QByteArray kLastLine = QByteArrayLiteral("END");
constexpr qsizetype kMostHeaderBytes = 4096;

struct Kind {
    const char* name;
    qsizetype maxBytes;
};

const Kind kKinds[] = {
    {"log", privileged::kLogBytes},
    {"output", privileged::kOutputBytes},
    {"table", privileged::kTableBytes},
    {"bootlog", privileged::kBootLogBytes},
    {"kernel-warnings", privileged::kBootLogBytes},
    {"efi-root", 0},
    {"efi", privileged::kEfiConfigBytes},
    {"xhci", privileged::kProtocolBytes},
    {"dmi", privileged::kIdentifierBytes},
};

const Kind* kindNamed(const QByteArray& name)
{
    for (const Kind& kind : kKinds) {
        if (name == kind.name)
            return &kind;
    }
    return nullptr;
}

bool isTableName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9!][A-Za-z0-9!_.-]{0,63}$"));
    return pattern.match(name).hasMatch() && name.endsWith(QLatin1String(".aml"), Qt::CaseInsensitive);
}

bool isProtocolName(const QString& name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]/reg-ext-protocol:[0-9a-f]{1,2}$"));
    return pattern.match(name).hasMatch();
}

std::optional<IdentifierKind> firmwareIdentifierKind(const QString& attribute)
{
    if (attribute == QLatin1String("product_uuid"))
        return IdentifierKind::UUID;
    if (attribute == QLatin1String("product_serial") || attribute == QLatin1String("board_serial")
        || attribute == QLatin1String("chassis_serial"))
        return IdentifierKind::SerialNumber;
    return std::nullopt;
}

// A firmware value as text: one printable line, or nothing.
std::optional<QString> identifierValue(const QByteArray& bytes)
{
    const QString value = QString::fromUtf8(bytes).trimmed();
    if (value.isEmpty())
        return std::nullopt;
    for (const QChar character : value) {
        if (character.category() == QChar::Other_Control || character == QChar::ReplacementCharacter)
            return std::nullopt;
    }
    return value;
}

class Reader {
public:
    Reader(const QByteArray& output, const PrivilegedRequest& request) : m_output(output), m_request(request) {}

    PrivilegedHandover read()
    {
        const std::optional<QByteArray> first = line();
        if (!first || *first != kFirstLine) {
            m_handover.problem = m_output.isEmpty() ? QStringLiteral("it printed nothing")
                                                    : QStringLiteral("its output does not begin with “%1”").arg(QString::fromLatin1(kFirstLine));
            return m_handover;
        }
        m_handover.started = true;
        while (m_handover.problem.isEmpty()) {
            const std::optional<QByteArray> header = line();
            if (!header) {
                m_handover.problem = m_output.indexOf('\n', m_position) < 0 ? QStringLiteral("its output ends before its last record")
                                                                             : QStringLiteral("a record header is malformed");
                break;
            }
            if (*header == kLastLine) {
                m_handover.complete = true;
                break;
            }
            readRecord(*header);
        }
        return m_handover;
    }

private:
    // The next line without its line feed; nothing at the end or for a line too long to be a header.
    std::optional<QByteArray> line()
    {
        const qsizetype end = m_output.indexOf('\n', m_position);
        if (end < 0 || end - m_position > kMostHeaderBytes)
            return std::nullopt;
        const QByteArray text = m_output.mid(m_position, end - m_position);
        m_position = end + 1;
        return text;
    }

    void fail(const QString& problem) { m_handover.problem = problem; }

    void readRecord(const QByteArray& header)
    {
        const qsizetype firstBlank = header.indexOf(' ');
        const qsizetype secondBlank = firstBlank < 0 ? -1 : header.indexOf(' ', firstBlank + 1);
        if (secondBlank < 0)
            return fail(QStringLiteral("a record header is malformed"));
        const QByteArray kindName = header.left(firstBlank);
        const QByteArray sizeText = header.mid(firstBlank + 1, secondBlank - firstBlank - 1);
        const QString name = QString::fromUtf8(header.mid(secondBlank + 1));
        const Kind* kind = kindNamed(kindName);
        if (!kind)
            return fail(QStringLiteral("a record is of an unknown kind"));

        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
        if (!digits.match(QString::fromLatin1(sizeText)).hasMatch())
            return fail(QStringLiteral("a record header is malformed"));
        const qsizetype size = sizeText.toLongLong();
        if (size > kind->maxBytes)
            return fail(QStringLiteral("a %1 record is larger than allowed").arg(QString::fromLatin1(kindName)));
        if (m_output.size() - m_position < size + 1 || m_output.at(m_position + size) != '\n')
            return fail(QStringLiteral("a %1 record is cut short").arg(QString::fromLatin1(kindName)));
        const QByteArray bytes = m_output.mid(m_position, size);
        m_position += size + 1;

        const QString key = QString::fromLatin1(kindName) + QLatin1Char(' ') + name;
        if (kindName != "log" && m_seen.contains(key))
            return fail(QStringLiteral("a %1 record repeats").arg(QString::fromLatin1(kindName)));
        m_seen.insert(key);
        accept(kindName, name, bytes);
    }

    void accept(const QByteArray& kind, const QString& name, const QByteArray& bytes)
    {
        PrivilegedFacts& facts = m_handover.facts;
        if (kind == "log") {
            if (name != QLatin1String("-") || m_handover.log.size() + bytes.size() > privileged::kLogBytes)
                return fail(QStringLiteral("a log record is malformed"));
            m_handover.log += QString::fromUtf8(bytes);
        } else if (kind == "output") {
            if (name != package::patchmaticOutput)
                return fail(QStringLiteral("an output record has a name of its own"));
            m_handover.patchmaticOutput = bytes;
        } else if (kind == "table") {
            if (!isTableName(name))
                return fail(QStringLiteral("a table record is named “%1”").arg(name));
            if (m_tableBytes + bytes.size() > privileged::kAllTablesBytes)
                return fail(QStringLiteral("the tables are larger than allowed"));
            m_tableBytes += bytes.size();
            m_handover.tables.emplace_back(name, bytes);
        } else if (kind == "bootlog") {
            if (name != QLatin1String("-"))
                return fail(QStringLiteral("a boot log record has a name of its own"));
            facts.bootLog = bytes;
        } else if (kind == "kernel-warnings") {
            if (name != QLatin1String("-"))
                return fail(QStringLiteral("a kernel warnings record has a name of its own"));
            facts.kernelWarnings = bytes;
        } else if (kind == "efi-root") {
            if (facts.efiRoot || !m_request.efiRoots.contains(name))
                return fail(QStringLiteral("an EFI root record names a folder that was not asked for"));
            facts.efiRoot = name;
        } else if (kind == "efi") {
            const bool wanted = facts.efiRoot
                && (name == *facts.efiRoot + QStringLiteral("/CLOVER/config.plist") || name == *facts.efiRoot + QStringLiteral("/OC/config.plist"));
            if (!wanted)
                return fail(QStringLiteral("an EFI record names a file that was not asked for"));
            facts.efiConfigs[name] = bytes;
        } else if (kind == "xhci") {
            if (!isProtocolName(name) || ++m_protocolFiles > privileged::kMostProtocolFiles)
                return fail(QStringLiteral("an xHCI record is named “%1”").arg(name));
            // A capability that names no ports says nothing; the record itself is fine.
            if (const auto range = parseXhciProtocolCapability(QString::fromUtf8(bytes)))
                facts.xhciPortRanges[name.section(QLatin1Char('/'), 0, 0)].push_back(*range);
        } else if (kind == "dmi") {
            const auto identifierKind = firmwareIdentifierKind(name);
            if (!identifierKind)
                return fail(QStringLiteral("a DMI record is named “%1”").arg(name));
            if (const auto value = identifierValue(bytes))
                facts.firmwareIdentifiers.push_back({*identifierKind, *value});
        }
    }

    const QByteArray& m_output;
    const PrivilegedRequest& m_request;
    qsizetype m_position = 0;
    qsizetype m_tableBytes = 0;
    int m_protocolFiles = 0;
    QSet<QString> m_seen;
    PrivilegedHandover m_handover;
};

} // namespace

PrivilegedHandover parsePrivilegedHandover(const QByteArray& output, const PrivilegedRequest& request)
{
    return Reader(output, request).read();
}

} // namespace velkor
