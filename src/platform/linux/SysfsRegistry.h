#pragma once

#include "platform/PrivilegedFacts.h"
#include "registry/TreeRegistry.h"

#include <QString>
#include <map>
#include <memory>
#include <vector>

namespace velkor {

// The machine under root (root + "/sys/...") presented the way the macOS registry shows a Mac,
// so that the USB scanner, the registry text renderer and the ACPI table supplement read it
// unchanged:
//
// IOService plane
//   Root <IORegistryEntry>
//     <DMI product name or "Linux"> <IOPlatformExpertDevice>: model, IOPlatformSerialNumber,
//         IOPlatformUUID, board-id, manufacturer, and "ACPI Tables" when the firmware tables
//         can be read (root only)
//       <PCI0>@0 <IOPCIBridge>: one per PCI host bridge
//         <name>@<dev[,fn]> <IOPCIDevice>: one per PCI function, nested as sysfs nests them
//           <name>@<loc> <Linux driver name>: for an xHCI controller bound to a driver
//             HSnn/SSnn or the firmware's port names <LinuxUSB20XHCIPort/LinuxUSB30XHCIPort...>
//               <product name> <IOUSBHostDevice>: attached devices, hubs with their devices
// IODeviceTree plane
//   Root -> the same platform node -> the ACPI namespace of /sys/bus/acpi/devices
//
// Every file that is missing or cannot be read is left out; the walks are bounded in depth and
// count and never follow symbolic links into folders.
//
// The xHCI port numbers come from the controllers' own port ranges: debugfs when it can be read
// (root), else the ranges root handed over, by PCI address ("0000:00:14.0").
std::shared_ptr<TreeRegistry> buildSysfsRegistry(const QString& root = QStringLiteral("/"),
                                                 const std::map<QString, std::vector<XhciPortRange>>& xhciPortRanges = {});

// The live registry of the program: each rootEntry() builds the tree again, so a run sees the
// machine as it is when the run happens, with what the run's administrator step handed over.
class SysfsRegistry : public Registry {
public:
    explicit SysfsRegistry(QString root = QStringLiteral("/"), std::shared_ptr<const PrivilegedFactsStore> privileged = {})
        : m_root(std::move(root)), m_privileged(std::move(privileged))
    {
    }
    std::unique_ptr<RegistryEntry> rootEntry() const override;

private:
    QString m_root;
    std::shared_ptr<const PrivilegedFactsStore> m_privileged;
};

} // namespace velkor
