#include "platform/linux/LinuxMachineIdentifiers.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

namespace velkor {
namespace {

constexpr qint64 kMostIdentifierBytes = 4096;

QString readTrimmed(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(kMostIdentifierBytes)).trimmed();
}

void addFromFile(std::vector<MachineIdentifier>& found, IdentifierKind kind, const QString& path)
{
    const QString value = readTrimmed(path);
    if (!value.isEmpty())
        found.push_back({kind, value});
}

// Every "<folder>/<entry>/<attribute>" file of a sysfs class folder.
void addFromEntries(std::vector<MachineIdentifier>& found, IdentifierKind kind, const QString& folder,
                    const QString& attribute)
{
    const QDir dir(folder);
    for (const QString& entry : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        addFromFile(found, kind, folder + QLatin1Char('/') + entry + QLatin1Char('/') + attribute);
}

} // namespace

std::vector<MachineIdentifier> LinuxMachineIdentifierSource::identifiers() const
{
    std::vector<MachineIdentifier> found;
    const QString sys = m_root + QStringLiteral("/sys");
    const QString dmi = sys + QStringLiteral("/class/dmi/id/");
    for (const char* name : {"product_serial", "board_serial", "chassis_serial"})
        addFromFile(found, IdentifierKind::SerialNumber, dmi + QLatin1String(name));
    addFromFile(found, IdentifierKind::UUID, dmi + QStringLiteral("product_uuid"));

    addFromEntries(found, IdentifierKind::MACAddress, sys + QStringLiteral("/class/net"), QStringLiteral("address"));
    addFromEntries(found, IdentifierKind::MACAddress, sys + QStringLiteral("/class/bluetooth"), QStringLiteral("address"));

    addFromEntries(found, IdentifierKind::DeviceSerial, sys + QStringLiteral("/bus/usb/devices"), QStringLiteral("serial"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sys + QStringLiteral("/class/block"), QStringLiteral("device/serial"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sys + QStringLiteral("/class/block"), QStringLiteral("device/wwid"));
    addFromEntries(found, IdentifierKind::DeviceSerial, sys + QStringLiteral("/class/nvme"), QStringLiteral("serial"));

    if (m_root == QStringLiteral("/")) {
        if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name)
            found.push_back({IdentifierKind::LoginName, QString::fromLocal8Bit(user->pw_name)});
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0)
            found.push_back({IdentifierKind::HostName, QString::fromLocal8Bit(host)});
    } else {
        addFromFile(found, IdentifierKind::HostName, m_root + QStringLiteral("/proc/sys/kernel/hostname"));
    }
    return found;
}

} // namespace velkor
