#include "platform/linux/LinuxMachineIdentifiers.h"

#include "platform/linux/SysfsReader.h"

#include <QRegularExpression>
#include <QSet>

#include <pwd.h>
#include <unistd.h>

namespace velkor {
namespace {

void addValue(std::vector<MachineIdentifier>& found, IdentifierKind kind, const QString& value)
{
    const QString trimmed = value.trimmed();
    if (!trimmed.isEmpty())
        found.push_back({kind, trimmed});
}

void addFromFile(std::vector<MachineIdentifier>& found, IdentifierKind kind, const SysfsReader& sysfs, const QString& path)
{
    addValue(found, kind, sysfs.text(sysfs.path(path)));
}

// Every "<folder>/<entry>/<attribute>" file of a sysfs class folder, whose entries are links to
// the devices (real folders in a captured tree).
void addFromEntries(std::vector<MachineIdentifier>& found, IdentifierKind kind, const SysfsReader& sysfs,
                    const QString& folder, const QString& attribute)
{
    const QString path = sysfs.path(folder);
    for (const QString& entry : sysfs.links(path) + sysfs.subdirectories(path))
        addFromFile(found, kind, sysfs, folder + QLatin1Char('/') + entry + QLatin1Char('/') + attribute);
}

bool isMacAddress(const QString& value)
{
    static const QRegularExpression mac(QStringLiteral("^[0-9A-F]{2}(:[0-9A-F]{2}){5}$"), QRegularExpression::CaseInsensitiveOption);
    return mac.match(value).hasMatch();
}

// The Bluetooth adapter's own address is in no sysfs file since Linux 3.13. BlueZ keeps one
// folder per adapter, named after its address, with one folder per paired device in it; the
// kernel's debugfs has the address too. Both are root's, so they count where readable.
void addBluetoothAddresses(std::vector<MachineIdentifier>& found, const SysfsReader& sysfs)
{
    const QString store = sysfs.path(QStringLiteral("/var/lib/bluetooth"));
    for (const QString& adapter : sysfs.subdirectories(store)) {
        if (!isMacAddress(adapter))
            continue;
        found.push_back({IdentifierKind::MACAddress, adapter});
        for (const QString& device : sysfs.subdirectories(store + QLatin1Char('/') + adapter)) {
            if (isMacAddress(device))
                found.push_back({IdentifierKind::MACAddress, device});
        }
    }
    const QString debug = sysfs.path(QStringLiteral("/sys/kernel/debug/bluetooth"));
    for (const QString& controller : sysfs.subdirectories(debug)) {
        const QString identity = sysfs.text(debug + QLatin1Char('/') + controller + QStringLiteral("/identity"));
        const QString address = identity.section(QLatin1Char(' '), 0, 0);
        if (isMacAddress(address))
            found.push_back({IdentifierKind::MACAddress, address});
    }
}

// A SATA disk's wwid is "t10.ATA     <model> <serial>"; the serial alone is what tools print.
void addDiskSerialsFromWwid(std::vector<MachineIdentifier>& found, const SysfsReader& sysfs)
{
    const QString path = sysfs.path(QStringLiteral("/sys/class/block"));
    for (const QString& entry : sysfs.links(path) + sysfs.subdirectories(path)) {
        const QString wwid = sysfs.text(path + QLatin1Char('/') + entry + QStringLiteral("/device/wwid")).trimmed();
        if (wwid.startsWith(QLatin1String("t10.")))
            addValue(found, IdentifierKind::DeviceSerial, wwid.section(QLatin1Char(' '), -1));
    }
}

// Wi-Fi networks the machine has joined: NetworkManager names a profile's file after the
// network; the file itself (root's) holds the exact name. iwd names its files after the
// network too (names with other characters are encoded, starting with "=").
void addKnownNetworks(std::vector<MachineIdentifier>& found, const SysfsReader& sysfs)
{
    const QString profiles = sysfs.path(QStringLiteral("/etc/NetworkManager/system-connections"));
    for (const QString& file : sysfs.files(profiles)) {
        const std::optional<QByteArray> content = sysfs.bytes(profiles + QLatin1Char('/') + file);
        if (!content) {
            if (file.endsWith(QLatin1String(".nmconnection")) && !file.startsWith(QLatin1String("Wired connection")))
                addValue(found, IdentifierKind::NetworkName, file.chopped(13));
            continue;
        }
        const QString text = QString::fromUtf8(*content);
        if (!text.contains(QLatin1String("type=wifi")))
            continue;
        static const QRegularExpression ssid(QStringLiteral("^ssid=(.+)$"), QRegularExpression::MultilineOption);
        for (auto it = ssid.globalMatch(text); it.hasNext();)
            addValue(found, IdentifierKind::NetworkName, it.next().captured(1));
        addValue(found, IdentifierKind::NetworkName, file.section(QLatin1Char('.'), 0, -2));
    }
    for (const QString& file : sysfs.files(sysfs.path(QStringLiteral("/var/lib/iwd")))) {
        if (!file.startsWith(QLatin1Char('=')) && file.contains(QLatin1Char('.')))
            addValue(found, IdentifierKind::NetworkName, file.section(QLatin1Char('.'), 0, -2));
    }
}

struct Account {
    QString login;
    QString fullName;
    QString home;
};

void addAccount(std::vector<MachineIdentifier>& found, const Account& account)
{
    addValue(found, IdentifierKind::LoginName, account.login);
    addValue(found, IdentifierKind::PersonalName, account.fullName.section(QLatin1Char(','), 0, 0));
    // A home named after the login is masked with it; any other path names the user by itself.
    const QString home = account.home.trimmed();
    if (!home.isEmpty() && home != QLatin1String("/") && home.section(QLatin1Char('/'), -1) != account.login)
        found.push_back({IdentifierKind::PersonalName, home});
}

// The people's accounts of a machine read from its files: user ids from 1000 on.
void addAccountsFromPasswd(std::vector<MachineIdentifier>& found, const SysfsReader& sysfs)
{
    const std::optional<QByteArray> passwd = sysfs.bytes(sysfs.path(QStringLiteral("/etc/passwd")), 4 * 1024 * 1024);
    if (!passwd)
        return;
    for (const QString& line : QString::fromUtf8(*passwd).split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char(':'));
        bool isNumber = false;
        const uint uid = fields.value(2).toUInt(&isNumber);
        if (fields.size() >= 7 && isNumber && uid >= 1000 && uid < 65534)
            addAccount(found, {fields[0], fields[4], fields[5]});
    }
}

// The OS's own names ("debian", "bookworm"): an installer or a live session gives them as host
// or login name, and masking them would mask the OS in every report.
QSet<QString> operatingSystemNames(const SysfsReader& sysfs)
{
    QSet<QString> names;
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        static const QRegularExpression field(QStringLiteral("^(?:ID|ID_LIKE|VERSION_CODENAME)=\"?([^\"\\n]*)\"?$"),
                                              QRegularExpression::MultilineOption);
        const QString text = sysfs.text(sysfs.path(QLatin1String(file)));
        for (auto it = field.globalMatch(text); it.hasNext();) {
            for (const QString& name : it.next().captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts))
                names.insert(name.toLower());
        }
    }
    return names;
}

} // namespace

std::vector<MachineIdentifier> LinuxMachineIdentifierSource::identifiers() const
{
    std::vector<MachineIdentifier> found;
    const SysfsReader sysfs(m_root);
    for (const char* name : {"product_serial", "board_serial", "chassis_serial"})
        addFromFile(found, IdentifierKind::SerialNumber, sysfs, QStringLiteral("/sys/class/dmi/id/") + QLatin1String(name));
    addFromFile(found, IdentifierKind::UUID, sysfs, QStringLiteral("/sys/class/dmi/id/product_uuid"));
    addFromFile(found, IdentifierKind::UUID, sysfs, QStringLiteral("/etc/machine-id"));
    addFromFile(found, IdentifierKind::UUID, sysfs, QStringLiteral("/proc/sys/kernel/random/boot_id"));

    addFromEntries(found, IdentifierKind::MACAddress, sysfs, QStringLiteral("/sys/class/net"), QStringLiteral("address"));
    addFromEntries(found, IdentifierKind::MACAddress, sysfs, QStringLiteral("/sys/class/bluetooth"), QStringLiteral("address"));
    addBluetoothAddresses(found, sysfs);

    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/bus/usb/devices"), QStringLiteral("serial"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/class/block"), QStringLiteral("device/serial"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/class/block"), QStringLiteral("device/wwid"));
    addDiskSerialsFromWwid(found, sysfs);
    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/class/nvme"), QStringLiteral("serial"));
    addKnownNetworks(found, sysfs);

    const bool runningMachine = sysfs.path(QString()).isEmpty(); // root "/"
    if (runningMachine) {
        if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name)
            addAccount(found, {QString::fromLocal8Bit(user->pw_name), QString::fromLocal8Bit(user->pw_gecos ? user->pw_gecos : ""),
                               QString::fromLocal8Bit(user->pw_dir ? user->pw_dir : "")});
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0)
            found.push_back({IdentifierKind::HostName, QString::fromLocal8Bit(host)});
    } else {
        addAccountsFromPasswd(found, sysfs);
        addFromFile(found, IdentifierKind::HostName, sysfs, QStringLiteral("/proc/sys/kernel/hostname"));
    }

    const QSet<QString> systemNames = operatingSystemNames(sysfs);
    std::erase_if(found, [&systemNames](const MachineIdentifier& identifier) {
        return (identifier.kind == IdentifierKind::LoginName || identifier.kind == IdentifierKind::HostName)
            && systemNames.contains(identifier.value.toLower());
    });
    return found;
}

} // namespace velkor
