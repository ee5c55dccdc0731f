#include "platform/linux/LinuxMachineIdentifiers.h"

#include "platform/linux/SysfsReader.h"

#include <pwd.h>
#include <unistd.h>

namespace velkor {
namespace {

void addFromFile(std::vector<MachineIdentifier>& found, IdentifierKind kind, const SysfsReader& sysfs, const QString& path)
{
    const QString value = sysfs.text(sysfs.path(path));
    if (!value.isEmpty())
        found.push_back({kind, value});
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

} // namespace

std::vector<MachineIdentifier> LinuxMachineIdentifierSource::identifiers() const
{
    std::vector<MachineIdentifier> found;
    const SysfsReader sysfs(m_root);
    for (const char* name : {"product_serial", "board_serial", "chassis_serial"})
        addFromFile(found, IdentifierKind::SerialNumber, sysfs, QStringLiteral("/sys/class/dmi/id/") + QLatin1String(name));
    addFromFile(found, IdentifierKind::UUID, sysfs, QStringLiteral("/sys/class/dmi/id/product_uuid"));

    addFromEntries(found, IdentifierKind::MACAddress, sysfs, QStringLiteral("/sys/class/net"), QStringLiteral("address"));
    addFromEntries(found, IdentifierKind::MACAddress, sysfs, QStringLiteral("/sys/class/bluetooth"), QStringLiteral("address"));

    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/bus/usb/devices"), QStringLiteral("serial"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/class/block"), QStringLiteral("device/serial"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/class/block"), QStringLiteral("device/wwid"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sysfs, QStringLiteral("/sys/class/nvme"), QStringLiteral("serial"));

    const bool runningMachine = sysfs.path(QString()).isEmpty(); // root "/"
    if (runningMachine) {
        if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name)
            found.push_back({IdentifierKind::LoginName, QString::fromLocal8Bit(user->pw_name)});
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0)
            found.push_back({IdentifierKind::HostName, QString::fromLocal8Bit(host)});
    } else {
        addFromFile(found, IdentifierKind::HostName, sysfs, QStringLiteral("/proc/sys/kernel/hostname"));
    }
    return found;
}

} // namespace velkor
