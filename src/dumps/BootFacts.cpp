#include "dumps/BootFacts.h"

#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"

#include <QDir>
#include <QtEndian>
#include <algorithm>

namespace velkor {
namespace {

// The vendor GUID of the globally defined UEFI variables (BootOrder, Boot####, SecureBoot...).
const QString kGlobalVariable = QStringLiteral("8be4df61-93ca-11d2-aa0d-00e098032b8c");
// A boot entry is a few hundred bytes; anything beyond this is not one.
constexpr qsizetype kMostVariableBytes = 64 * 1024;
// Enough for every warning of a boot with a misbehaving firmware many times over.
constexpr qsizetype kMostWarningBytes = 1024 * 1024;
constexpr double kKernelLogTimeout = 18;

quint16 u16(const QByteArray& b, qsizetype at) { return qFromLittleEndian<quint16>(b.constData() + at); }
quint32 u32(const QByteArray& b, qsizetype at) { return qFromLittleEndian<quint32>(b.constData() + at); }
quint64 u64(const QByteArray& b, qsizetype at) { return qFromLittleEndian<quint64>(b.constData() + at); }

QString hex(quint64 value) { return QStringLiteral("0x") + QString::number(value, 16); }
// A boot entry's number as its variable name writes it: four upper-case hex digits.
QString hex4(quint16 value) { return QString::number(value, 16).toUpper().rightJustified(4, QLatin1Char('0')); }

QString guid(const QByteArray& b, qsizetype at)
{
    return QStringLiteral("%1-%2-%3-%4-%5")
        .arg(u32(b, at), 8, 16, QLatin1Char('0'))
        .arg(u16(b, at + 4), 4, 16, QLatin1Char('0'))
        .arg(u16(b, at + 6), 4, 16, QLatin1Char('0'))
        .arg(QString::fromLatin1(b.mid(at + 8, 2).toHex()), QString::fromLatin1(b.mid(at + 10, 6).toHex()));
}

// A NUL-terminated UTF-16LE string from `at`, never past `end`; `next` receives where it ended.
QString utf16(const QByteArray& b, qsizetype at, qsizetype end, qsizetype* next = nullptr)
{
    QString text;
    qsizetype i = at;
    for (; i + 1 < end; i += 2) {
        const char16_t c = u16(b, i);
        if (c == 0) {
            i += 2;
            break;
        }
        text.append(QChar(c));
    }
    if (next)
        *next = i;
    return text;
}

// One device path node in the firmware's text form; `data` is the node without its header.
QString describeNode(quint8 type, quint8 subtype, const QByteArray& d)
{
    const qsizetype n = d.size();
    switch (type << 8 | subtype) {
    case 0x0101:
        if (n >= 2)
            return QStringLiteral("Pci(%1,%2)").arg(hex(quint8(d[1])), hex(quint8(d[0])));
        break;
    case 0x0201:
        if (n >= 8) {
            const quint32 hid = u32(d, 0);
            const quint32 uid = u32(d, 4);
            if (hid == 0x0a0341d0 || hid == 0x0a0841d0)
                return QStringLiteral("PciRoot(%1)").arg(hex(uid));
            if ((hid & 0xffff) == 0x41d0)
                return QStringLiteral("Acpi(PNP%1,%2)").arg(hex4(quint16(hid >> 16)), hex(uid));
            return QStringLiteral("Acpi(%1,%2)").arg(hex(hid), hex(uid));
        }
        break;
    case 0x0302:
        if (n >= 4)
            return QStringLiteral("Scsi(%1,%2)").arg(hex(u16(d, 0)), hex(u16(d, 2)));
        break;
    case 0x0305:
        if (n >= 2)
            return QStringLiteral("USB(%1,%2)").arg(hex(quint8(d[0])), hex(quint8(d[1])));
        break;
    case 0x030b:
        // Written as a colon-separated address so the masking replaces it like any other.
        if (n >= 6)
            return QStringLiteral("MAC(%1)").arg(QString::fromLatin1(d.left(6).toHex(':')));
        break;
    case 0x030c:
        if (n >= 8)
            return QStringLiteral("IPv4(%1.%2.%3.%4)").arg(quint8(d[4])).arg(quint8(d[5])).arg(quint8(d[6])).arg(quint8(d[7]));
        break;
    case 0x0312:
        if (n >= 6)
            return QStringLiteral("Sata(%1,%2,%3)").arg(hex(u16(d, 0)), hex(u16(d, 2)), hex(u16(d, 4)));
        break;
    case 0x0317:
        if (n >= 4)
            return QStringLiteral("NVMe(%1)").arg(hex(u32(d, 0)));
        break;
    case 0x0318:
        return QStringLiteral("Uri(%1)").arg(QString::fromUtf8(d));
    case 0x0401:
        if (n >= 38) {
            const quint8 format = quint8(d[36]);
            const quint8 signatureType = quint8(d[37]);
            const QString signature = signatureType == 2   ? guid(d, 20)
                                      : signatureType == 1 ? hex(u32(d, 20))
                                                           : QStringLiteral("0");
            return QStringLiteral("HD(%1,%2,%3,%4,%5)")
                .arg(u32(d, 0))
                .arg(format == 2 ? QStringLiteral("GPT") : format == 1 ? QStringLiteral("MBR") : hex(format), signature,
                     hex(u64(d, 4)), hex(u64(d, 12)));
        }
        break;
    case 0x0402:
        if (n >= 4)
            return QStringLiteral("CDROM(%1)").arg(hex(u32(d, 0)));
        break;
    case 0x0404:
        return QStringLiteral("File(%1)").arg(utf16(d, 0, n));
    case 0x0406:
        if (n >= 16)
            return QStringLiteral("FvFile(%1)").arg(guid(d, 0));
        break;
    case 0x0407:
        if (n >= 16)
            return QStringLiteral("Fv(%1)").arg(guid(d, 0));
        break;
    case 0x0501:
        if (n >= 4)
            return QStringLiteral("BBS(%1,%2)").arg(hex(u16(d, 0)), QString::fromLatin1(d.mid(4)).section(QChar(0), 0, 0));
        break;
    default:
        if (n >= 16 && subtype == 4 && type >= 1 && type <= 4) {
            static const char* const kinds[] = {"VenHw", "", "VenMsg", "VenMedia"};
            return QStringLiteral("%1(%2)").arg(QLatin1String(kinds[type - 1]), guid(d, 0));
        }
        break;
    }
    return QStringLiteral("Path(%1,%2,%3)").arg(type).arg(subtype).arg(QString::fromLatin1(d.toHex()));
}

QString describeDevicePath(const QByteArray& b, qsizetype at, qsizetype end)
{
    QString text;
    while (at + 4 <= end) {
        const quint8 type = quint8(b[at]);
        const quint8 subtype = quint8(b[at + 1]);
        const quint16 length = u16(b, at + 2);
        if (length < 4 || at + length > end)
            return text + QStringLiteral("<malformed>");
        if (type == 0x7f)
            if (subtype == 0xff)
                return text;
        if (!text.isEmpty() && !text.endsWith(QLatin1Char(',')))
            text += type == 0x7f ? QStringLiteral(",") : QStringLiteral("/");
        if (type != 0x7f)
            text += describeNode(type, subtype, b.mid(at + 4, length - 4));
        at += length;
    }
    return text;
}

// A variable's value without the four bytes of attributes efivarfs puts in front; nothing when
// it is missing, unreadable (some are root's only) or not a plain file.
std::optional<QByteArray> variable(const QString& efivars, const QString& name, const QString& vendor = kGlobalVariable)
{
    auto bytes = readRegularFile(efivars + QLatin1Char('/') + name + QLatin1Char('-') + vendor, kMostVariableBytes);
    if (!bytes || bytes->size() < 4)
        return std::nullopt;
    return bytes->mid(4);
}

QString flag(const std::optional<QByteArray>& value)
{
    if (!value || value->isEmpty())
        return QStringLiteral("unknown (not readable)");
    return value->at(0) ? QStringLiteral("enabled") : QStringLiteral("disabled");
}


// One EFI_LOAD_OPTION (the value of a Boot#### variable, without its attribute word) as
// "description | device path"; the device path in the firmware's text form where the node type
// is known, as the node's type, subtype and bytes otherwise.
QString describeLoadOption(const QByteArray& option)
{
    if (option.size() < 6)
        return QStringLiteral("<malformed>");
    const quint32 attributes = u32(option, 0);
    const qsizetype pathLength = u16(option, 4);
    qsizetype pathStart = 0;
    const QString description = utf16(option, 6, option.size(), &pathStart);
    const qsizetype pathEnd = std::min(option.size(), pathStart + pathLength);
    QString text = description + QStringLiteral(" | ") + describeDevicePath(option, pathStart, pathEnd);
    if (!(attributes & 1))
        text += QStringLiteral(" (inactive)");
    return text;
}

} // namespace

void writeFirmwareBootReport(const QString& machineRoot, const QString& to)
{
    const QString firmware = QDir(machineRoot).filePath(QStringLiteral("sys/firmware/efi"));
    const QString efivars = firmware + QStringLiteral("/efivars");
    QStringList lines{QStringLiteral("Velkor Firmware Boot Report"), QString()};
    if (!QFileInfo(firmware).isDir()) {
        lines << QStringLiteral("Boot mode: legacy BIOS (no /sys/firmware/efi)");
        writeTextFile(to, maskText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')));
        return;
    }
    lines << QStringLiteral("Boot mode: UEFI");
    const QDir vars(efivars);
    if (!vars.exists()) {
        lines << QStringLiteral("Firmware variables: not readable (efivarfs is not mounted at /sys/firmware/efi/efivars)");
        writeTextFile(to, maskText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')));
        return;
    }
    lines << QStringLiteral("Secure Boot: ") + flag(variable(efivars, QStringLiteral("SecureBoot")))
          << QStringLiteral("Setup mode: ") + flag(variable(efivars, QStringLiteral("SetupMode")));

    const auto current = variable(efivars, QStringLiteral("BootCurrent"));
    lines << QStringLiteral("BootCurrent: ")
                 + (current && current->size() >= 2 ? hex4(u16(*current, 0)) : QStringLiteral("unknown"));
    QStringList order;
    if (const auto value = variable(efivars, QStringLiteral("BootOrder")))
        for (qsizetype i = 0; i + 1 < value->size(); i += 2)
            order << hex4(u16(*value, i));
    lines << QStringLiteral("BootOrder: ") + (order.isEmpty() ? QStringLiteral("unknown") : order.join(QLatin1Char(',')));

    lines << QString() << QStringLiteral("Boot entries:");
    const QString suffix = QLatin1Char('-') + kGlobalVariable;
    QStringList names = vars.entryList({QStringLiteral("Boot????") + suffix}, QDir::Files | QDir::System, QDir::Name);
    qsizetype listed = 0;
    for (const QString& name : names) {
        const QString entry = name.left(8);
        bool isHex = false;
        entry.mid(4).toUShort(&isHex, 16);
        if (!isHex)
            continue;
        const auto value = variable(efivars, entry);
        lines << QStringLiteral("  ") + entry + QStringLiteral(": ")
                     + (value ? describeLoadOption(*value) : QStringLiteral("<not readable>"));
        ++listed;
    }
    if (listed == 0)
        lines << QStringLiteral("  none readable");
    writeTextFile(to, maskText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')));
}

void writeKernelWarningsReport(StepContext& ctx, const QString& to)
{
    const StockCommand& command = ctx.platform.commands.kernelWarningsDump;
    QString source;
    QByteArray log;
    if (!command.program.isEmpty()) {
        try {
            const ProcessOutcome outcome = runProcessRaw(command.program, command.arguments, std::nullopt, kKernelLogTimeout);
            if (outcome.exitStatus == 0 && !outcome.timedOut && !outcome.output.trimmed().isEmpty()) {
                log = outcome.output;
                source = QStringLiteral("the kernel log as this user reads it");
            }
        } catch (const std::exception&) {
            // A reader that cannot start is a log this user cannot read; root's copy is next.
        }
    }
    if (log.isEmpty()) {
        const auto privileged = ctx.privileged();
        if (privileged->kernelWarnings && !privileged->kernelWarnings->trimmed().isEmpty()) {
            log = *privileged->kernelWarnings;
            source = QStringLiteral("the kernel log as the administrator step read it");
        }
    }
    QStringList lines{QStringLiteral("Velkor Kernel Warnings Report"), QString()};
    if (log.isEmpty()) {
        lines << QStringLiteral("No warning or error lines: the kernel log is closed to this user and the administrator step handed none over.");
        writeTextFile(to, maskText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')));
        return;
    }
    lines << QStringLiteral("Source: ") + source << QString();
    // A raw kernel line carries its priority as "<N>" (facility * 8 + level); levels 0 to 4 are
    // emergencies down to warnings. Lines without the prefix come already filtered.
    qsizetype bytes = 0;
    bool cut = false;
    for (const QByteArray& raw : log.split('\n')) {
        if (raw.trimmed().isEmpty())
            continue;
        if (raw.startsWith('<')) {
            const qsizetype close = raw.indexOf('>');
            bool isNumber = false;
            const int priority = close > 1 ? raw.mid(1, close - 1).toInt(&isNumber) : -1;
            if (isNumber && (priority & 7) > 4)
                continue;
        }
        if (bytes + raw.size() + 1 > kMostWarningBytes) {
            cut = true;
            break;
        }
        bytes += raw.size() + 1;
        lines << QString::fromUtf8(raw);
    }
    if (cut)
        lines << QStringLiteral("[cut at %1 bytes]").arg(kMostWarningBytes);
    writeTextFile(to, maskText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')));
}

} // namespace velkor
