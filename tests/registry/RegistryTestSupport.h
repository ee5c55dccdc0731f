#pragma once

#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"

#include <functional>

// Registries for tests: built by hand in memory, searched and compared.
namespace velkor::testing {

using Node = std::shared_ptr<TreeRegistryNode>;
inline Node entry(const QString& name, const QString& className = {})
{
    return std::make_shared<TreeRegistryNode>(TreeRegistryNode{name, {}, className, {}, {}, {}});
}

// A registry laid out as macOS lays out XHCI controllers: PCI root > PCI device > driver > port > device.
struct TestRegistry {
    static Node add(const Node& parent, const QString& name, const QString& className, QVariantMap properties = {})
    {
        return parent->addChild(kIOServicePlane, name, className, std::move(properties));
    }
    // An XHCI controller (class code 30 03 0C 00) on the PCI bus with the given identity.
    Node pciController(const QString& name, quint16 vendor, quint16 device, const QString& location = {}) const
    {
        QVariantMap properties{{"IOName", name}, {"class-code", QByteArray::fromHex("30030c00")},
                               {"vendor-id", littleEndianBytes(vendor)}, {"device-id", littleEndianBytes(device)}};
        if (!location.isEmpty())
            properties.insert("location", location);
        return add(pciRoot, name, QStringLiteral("IOPCIDevice"), properties);
    }
    // Named by a NUL-terminated "name" data property as macOS writes it.
    static Node driver(const Node& pci, const char* name, const QString& className, quint32 locationID)
    {
        return add(pci, name, className, {{"name", QByteArray(name) + '\0'}, {"locationID", qint64(locationID)}, {"IOClass", className}});
    }
    static Node port(const Node& driver, const QString& name, QVariantMap properties = {})
    {
        properties.insert("name", name);
        return add(driver, name, QStringLiteral("AppleUSB20XHCIPort"), properties);
    }
    static Node device(const Node& parent, const QString& name) { return add(parent, name, "IOUSBHostDevice", {{"IOName", name}}); }
    std::shared_ptr<TreeRegistry> registry() const { return std::make_shared<TreeRegistry>(root); }

    Node root = entry(QStringLiteral("Root"), QStringLiteral("IORegistryEntry"));
    Node pciRoot = add(root, QStringLiteral("PCI0"), QStringLiteral("AppleACPIPCI"), {{"IOName", "PCI0"}});
};

// The first node in pre-order (the root included) that the predicate accepts, or null.
const TreeRegistryNode* findNode(const TreeRegistryNode& root, const QString& plane,
                                 const std::function<bool(const TreeRegistryNode&)>& accept);
// The first node with this name (and this location and class when they are not empty).
const TreeRegistryNode* findNamed(const TreeRegistryNode& root, const QString& plane, const QString& name,
                                  const QString& location = {}, const QString& className = {});
// Every node below and including root, in pre-order.
std::vector<const TreeRegistryNode*> allNodes(const TreeRegistryNode& root, const QString& plane);
// The first difference between two trees (names, locations, classes, typed properties, order of
// children), each walked in its own plane; empty when they agree. With printed, data of `expected`
// ending in a zero byte may lack it in `actual`, as a listing prints it.
QString treeDifference(const TreeRegistryNode& expected, const QString& expectedPlane, const TreeRegistryNode& actual,
                       const QString& actualPlane, bool printed = false);
// Extracts the sysfs capture of tests/data/sysfs into dir; returns the root that holds "sys".
QString extractSysfsCapture(const QString& dir);

} // namespace velkor::testing
