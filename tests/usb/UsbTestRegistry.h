#pragma once

#include "registry/TreeRegistry.h"
#include "usb/USBRecords.h"

#include <QByteArray>
#include <QVariantMap>
#include <memory>

// Small registries for the USB scanner and the kext generator, built the way the macOS
// registry lays out an XHCI controller: PCI device > driver > port nodes > attached devices.
namespace velkor::testing {

inline QByteArray le32(quint32 value)
{
    return portNumberBytes(value);
}

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

struct UsbTestRegistry {
    UsbTestRegistry()
    {
        root = std::make_shared<TreeRegistryNode>();
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
                                                    const QString& location = {})
    {
        QVariantMap properties{{"IOName", name},
                               {"class-code", xhciClassCode()},
                               {"vendor-id", le32(vendor)},
                               {"device-id", le32(device)}};
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

} // namespace velkor::testing
