#pragma once

// The parts of the sysfs registry, one builder per source, sharing one scan context.

#include "platform/PrivilegedFacts.h"
#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"
#include "platform/linux/SysfsReader.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace velkor::sysfs {

// No registry gets more entries than this, whatever the machine or the tree under the root.
constexpr int kMaxEntries = 100000;

// One device of the ACPI namespace (/sys/bus/acpi/devices/*).
struct AcpiDevice {
    QString dir;           // the device's folder under the root
    QString parentDir;     // the folder of the nearest ACPI device above it; empty for a top one
    QString namespacePath; // "\_SB_.PCI0.SA0_", empty when the kernel gives none
    QString name;          // the last name of the path without its padding: "SA0"
    std::optional<qint64> address; // _ADR
    QString planePath;     // "IOACPIPlane:/_SB/PCI0@0/SA0@140000"
};

struct ScanContext {
    explicit ScanContext(const QString& root) : reader(root) {}

    SysfsReader reader;
    QHash<QString, AcpiDevice> acpiByDir;
    std::set<int> usedControllerBuses; // the top byte of the USB locations handed out
    // xHCI port ranges by PCI address, as root read them; debugfs, where readable, comes first.
    std::map<QString, std::vector<XhciPortRange>> xhciPortRanges;
    int entries = 0;

    // Counts one more entry; false once the registry is full.
    bool takeEntry() { return entries < kMaxEntries && ++entries > 0; }
    // The ACPI device a firmware_node link in folder dir points to, or null.
    const AcpiDevice* firmwareNode(const QString& dir) const;
};

// Bytes of a text followed by its NUL, the way the device tree stores names.
QByteArray nulTerminated(const QString& text);
// The ACPI name without its "_" padding: "SA0_" gives "SA0", "_SB_" gives "_SB".
QString acpiShortName(const QString& segment);

// Indexes /sys/bus/acpi/devices into context.acpiByDir.
void indexAcpiNamespace(ScanContext& context);
// Adds the ACPI namespace below the platform node in the IODeviceTree plane.
void addAcpiDeviceTree(ScanContext& context, TreeRegistryNode& platform);
// Adds the PCI host bridges, their functions and the xHCI controllers' USB trees below the
// platform node in the IOService plane.
void addPciTree(ScanContext& context, TreeRegistryNode& platform);
// Adds the driver node, the root-hub ports and the attached devices of one xHCI controller
// (PCI function folder pciDir, bound to driverName) below its PCI node.
void addXhciController(ScanContext& context, TreeRegistryNode& pciNode, const QString& pciDir, const QString& driverName);

} // namespace velkor::sysfs
