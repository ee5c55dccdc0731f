#include "usb/NativeUSBTreeScanner.h"

#include "usb/LocalizedCompare.h"
#include "usb/USBIDs.h"
#include "usb/USBScanRules.h"
#include "usb/USBTextFormat.h"

#include "registry/RegistryProperties.h"
#include "registry/RegistryWalk.h"

#include <QSet>

#include <algorithm>
#include <optional>

namespace velkor {
namespace {

using namespace usbscan;

const QStringList kDriverMarkerKeys = {
    QStringLiteral("IOClass"),
    QStringLiteral("CFBundleIdentifier"),
    QStringLiteral("CFBundleIdentifierKernel"),
    QStringLiteral("IOProviderClass"),
    QStringLiteral("IOPersonalityPublisher"),
};
const QString kXHCIMarker = QStringLiteral("USBXHCI");
const QString kPCIDeviceClass = QStringLiteral("IOPCIDevice");

std::unique_ptr<NativeUSBNode> makeNode(const RegistryEntry& entry, NativeUSBNode* parent)
{
    auto node = std::make_unique<NativeUSBNode>();
    node->properties = entry.properties();
    node->className = entry.className();
    node->name = registryName(node->properties, node->className);
    node->location = registryLocation(node->properties);
    node->parent = parent;
    return node;
}

bool isDriverCandidate(const NativeUSBNode& node)
{
    if (node.className.contains(kXHCIMarker))
        return true;
    for (const QString& key : kDriverMarkerKeys) {
        const QVariant value = node.properties.value(key);
        if (value.typeId() == QMetaType::QString && value.toString().contains(kXHCIMarker))
            return true;
    }
    return false;
}

bool isXHCIPCIDevice(const NativeUSBNode& node)
{
    return node.className == kPCIDeviceClass && hasXHCIClassCode(node);
}

// The node itself or its nearest ancestor that is an XHCI controller on the PCI bus.
const NativeUSBNode* xhciPCIAncestorOrSelf(const NativeUSBNode& node)
{
    for (const NativeUSBNode* current = &node; current; current = current->parent) {
        if (isXHCIPCIDevice(*current))
            return current;
    }
    return nullptr;
}

std::optional<std::pair<qint64, qint64>> pciIdentity(const NativeUSBNode& pci)
{
    const RegistryProperties properties(pci.properties);
    const auto vendor = properties.number(QStringLiteral("vendor-id"));
    const auto device = properties.number(QStringLiteral("device-id"));
    if (vendor && device && *vendor >= 1 && *device >= 1)
        return std::make_pair(*vendor, *device);
    return parsePCIIdentity(pciIdentitySearchText(pci));
}

QString hex4(qint64 value)
{
    return usbtext::hex(value, 4, false);
}

QString vendorDeviceKey(qint64 vendor, qint64 device)
{
    return hex4(vendor) + QLatin1Char(':') + hex4(device);
}

USBControllerMap makeController(const QString& name, const QString& location, qint64 vendor, qint64 device,
                                const QString& providerClass, const ControllerNameLookup& names)
{
    USBControllerMap controller;
    controller.name = shortName(name);
    controller.location = location;
    controller.vendorID = vendor;
    controller.deviceID = device;
    controller.ioNameMatch = QStringLiteral("pci") + hex4(vendor) + QLatin1Char(',') + hex4(device);
    controller.providerClass = providerClass;
    controller.usbDeviceName = names ? names(vendor, device) : QString();
    return controller;
}

} // namespace

NativeUSBTreeScanner::NativeUSBTreeScanner(const Registry& registry, AppBundle bundle)
    : m_registry(registry), m_bundle(std::move(bundle))
{
}

std::unique_ptr<NativeUSBNode> NativeUSBTreeScanner::buildTree() const
{
    const std::unique_ptr<RegistryEntry> rootEntry = m_registry.rootEntry();
    if (!rootEntry)
        return nullptr;
    std::unique_ptr<NativeUSBNode> root;
    std::vector<NativeUSBNode*> path; // path[d]: the node copied last at depth d
    walkRegistry(*rootEntry, kIOServicePlane, {kMaxTreeDepth, kMaxTreeNodes}, [&](const RegistryVisit& visit) {
        path.resize(size_t(visit.depth));
        NativeUSBNode* parent = path.empty() ? nullptr : path.back();
        std::unique_ptr<NativeUSBNode> node = makeNode(visit.entry, parent);
        path.push_back(node.get());
        if (parent)
            parent->children.push_back(std::move(node));
        else
            root = std::move(node);
        return true;
    });
    return root;
}

USBScanResult NativeUSBTreeScanner::scan() const
{
    const std::unique_ptr<NativeUSBNode> root = buildTree();
    if (!root)
        return {};
    const AppBundle bundle = m_bundle;
    return scanNodeTree(*root, [&bundle](qint64 vendor, qint64 device) { return usbIDsName(bundle, vendor, device); });
}

USBScanResult scanNodeTree(const NativeUSBNode& root, const ControllerNameLookup& names)
{
    const std::vector<const NativeUSBNode*> nodes = flatten(root);

    // Pass A: driver nodes that sit on (or are) an XHCI controller on the PCI bus.
    std::vector<std::pair<const NativeUSBNode*, const NativeUSBNode*>> drivers;
    for (const NativeUSBNode* node : nodes) {
        if (!isDriverCandidate(*node))
            continue;
        if (const NativeUSBNode* pci = xhciPCIAncestorOrSelf(*node))
            drivers.emplace_back(node, pci);
    }

    // Pass B: XHCI controllers on the PCI bus, with or without a driver.
    std::vector<const NativeUSBNode*> pciNodes;
    for (const NativeUSBNode* node : nodes) {
        if (isXHCIPCIDevice(*node))
            pciNodes.push_back(node);
    }

    USBScanResult result;

    // Pass C: one controller per PCI identity and location, from its first driver node.
    QSet<QString> seen;
    for (const auto& [driver, pci] : drivers) {
        const auto identity = pciIdentity(*pci);
        if (!identity)
            continue;
        const auto [vendor, device] = *identity;
        const QString location = pci->location.isEmpty() ? driver->location : pci->location;
        const QString key = vendorDeviceKey(vendor, device) + QLatin1Char(':') + location.toLower();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        USBControllerMap controller = makeController(driver->name, location, vendor, device, driver->className, names);
        controller.ports = scanPorts(*driver);
        result.controllers.append(controller);
    }

    // Pass D: controllers seen only on the PCI bus, one per vendor and device.
    QSet<QString> identities;
    for (const USBControllerMap& controller : result.controllers)
        identities.insert(vendorDeviceKey(controller.vendorID, controller.deviceID));
    for (const NativeUSBNode* pci : pciNodes) {
        const auto identity = pciIdentity(*pci);
        if (!identity)
            continue;
        const QString key = vendorDeviceKey(identity->first, identity->second);
        if (identities.contains(key))
            continue;
        identities.insert(key);
        result.controllers.append(makeController(pci->name, pci->location, identity->first, identity->second, QString(), names));
    }

    std::stable_sort(result.controllers.begin(), result.controllers.end(),
                     [](const USBControllerMap& left, const USBControllerMap& right) {
                         if (left.vendorID != right.vendorID)
                             return left.vendorID < right.vendorID;
                         if (left.deviceID != right.deviceID)
                             return left.deviceID < right.deviceID;
                         return localizedStandardLess(left.location, right.location);
                     });
    return result;
}

} // namespace velkor
