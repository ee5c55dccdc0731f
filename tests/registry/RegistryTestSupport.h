#pragma once

#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <vector>

// Registries for tests: built by hand in memory, searched and compared.
namespace velkor::testing {

// A text as a registry data property: the bytes followed by a NUL.
inline QByteArray cString(const char* text)
{
    return QByteArray(text) + '\0';
}

// The XHCI class code as registries store it: bytes 30 03 0C 00.
inline QByteArray xhciClassCode()
{
    return QByteArray::fromHex("30030c00");
}

// A registry laid out the way the macOS registry lays out an XHCI controller: PCI device >
// driver > port nodes > attached devices, below a PCI root.
struct TestRegistry {
    TestRegistry() : root(std::make_shared<TreeRegistryNode>())
    {
        root->name = QStringLiteral("Root");
        root->className = QStringLiteral("IORegistryEntry");
        pciRoot = add(root, QStringLiteral("PCI0"), QStringLiteral("AppleACPIPCI"), {{"IOName", "PCI0"}});
    }

    static std::shared_ptr<TreeRegistryNode> add(const std::shared_ptr<TreeRegistryNode>& parent, const QString& name,
                                                 const QString& className, QVariantMap properties = {})
    {
        return parent->addChild(kIOServicePlane, name, className, std::move(properties));
    }

    // An XHCI controller on the PCI bus with the given identity.
    std::shared_ptr<TreeRegistryNode> pciController(const QString& name, quint16 vendor, quint16 device,
                                                    const QString& location = {}) const
    {
        QVariantMap properties{{"IOName", name}, {"class-code", xhciClassCode()},
                               {"vendor-id", littleEndianBytes(vendor)}, {"device-id", littleEndianBytes(device)}};
        if (!location.isEmpty())
            properties.insert("location", location);
        return add(pciRoot, name, QStringLiteral("IOPCIDevice"), properties);
    }

    // The controller's driver node, named by a "name" data property as macOS writes it.
    static std::shared_ptr<TreeRegistryNode> driver(const std::shared_ptr<TreeRegistryNode>& pci, const char* name,
                                                    const QString& className, quint32 locationID)
    {
        return add(pci, QString::fromLatin1(name), className,
                   {{"name", cString(name)}, {"locationID", qint64(locationID)}, {"IOClass", className}});
    }

    static std::shared_ptr<TreeRegistryNode> port(const std::shared_ptr<TreeRegistryNode>& driver, const QString& name,
                                                  QVariantMap properties = {})
    {
        properties.insert("name", name);
        return add(driver, name, QStringLiteral("AppleUSB20XHCIPort"), properties);
    }

    // A device attached below a port, with a product name the scan can read.
    static std::shared_ptr<TreeRegistryNode> device(const std::shared_ptr<TreeRegistryNode>& parent, const QString& name)
    {
        return add(parent, name, QStringLiteral("IOUSBHostDevice"), {{"IOName", name}});
    }

    std::shared_ptr<TreeRegistry> registry() const { return std::make_shared<TreeRegistry>(root); }

    std::shared_ptr<TreeRegistryNode> root;
    std::shared_ptr<TreeRegistryNode> pciRoot;
};

// A root with a chain of entries below it in the IOService plane, `length` entries in all;
// *middle (when given) receives the entry halfway down.
std::shared_ptr<TreeRegistryNode> chain(int length, std::shared_ptr<TreeRegistryNode>* middle = nullptr);

// The first node in pre-order (the root included) that the predicate accepts, or null.
const TreeRegistryNode* findNode(const TreeRegistryNode& root, const QString& plane,
                                 const std::function<bool(const TreeRegistryNode&)>& accept);
// The first node with this name (and this location and class when they are not empty).
const TreeRegistryNode* findNamed(const TreeRegistryNode& root, const QString& plane, const QString& name,
                                  const QString& location = {}, const QString& className = {});
// Every node below and including root, in pre-order.
std::vector<const TreeRegistryNode*> allNodes(const TreeRegistryNode& root, const QString& plane);
// The first difference between two trees (names, locations, classes, property tables with their
// value types, and the order of children), each walked in its own plane; empty when they agree.
// With printed, data of `expected` that ends in a zero byte may lack it in `actual`: a listing
// prints such data as quoted text without its final zero byte.
QString treeDifference(const TreeRegistryNode& expected, const QString& expectedPlane, const TreeRegistryNode& actual,
                       const QString& actualPlane, bool printed = false);
// Extracts the sysfs capture of tests/data/sysfs into dir; returns the root that holds "sys".
QString extractSysfsCapture(const QString& dir);

} // namespace velkor::testing
