#pragma once

#include "registry/RegistryProperties.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>
#include <memory>
#include <vector>

namespace velkor {

// One port of a USB host controller.
struct USBPortMap {
    QString name;          // upper case, "HS01", "SS02"...
    QString location;      // the port node's location, the controller's, or "template"
    qint64 connector = 0;  // written as UsbConnector and usb-port-type
    QByteArray portData;   // the port's address bytes (4 little-endian bytes when made from a number)
    QString comment;
    QString activeDevice;  // the first device attached below the port

    // What the registry could not tell for certain, for the kext report. A Mac's registry
    // leaves all of it unset.
    bool numberInferred = false;    // neither the controller's layout nor the firmware numbers it
    bool connectorInferred = false; // the registry knows no connector type for it
    QString firmwareName;           // the firmware's own name, when it could not be used as is
    QString leftOutReason;          // why the port stays out of the kext; empty when it goes in
};

// One USB host controller (an XHCI controller on the PCI bus).
struct USBControllerMap {
    QString name;
    QString location;
    qint64 vendorID = 0;
    qint64 deviceID = 0;
    QString ioNameMatch;   // "pci8086,a36d"
    QString providerClass; // the driver node's class; empty for a controller seen only on the PCI bus
    QString usbDeviceName; // vendor and device name from the ID database; empty when unknown
    QList<USBPortMap> ports;
};

struct USBScanResult {
    QList<USBControllerMap> controllers;

    bool isEmpty() const { return controllers.isEmpty(); }
};

// The port number: the unsigned little-endian value of the first four bytes of the port data
// (fewer when it is shorter; none gives 0).
inline quint32 portNumber(const USBPortMap& port) { return littleEndianValue(port.portData); }

// One registry entry as the scanner copied it. A node owns its children; the parent link does
// not own, so releasing the root frees the whole tree.
struct NativeUSBNode {
    NativeUSBNode() = default;
    NativeUSBNode(const NativeUSBNode&) = delete;
    NativeUSBNode& operator=(const NativeUSBNode&) = delete;
    // Frees the subtree without recursing, so a deep tree cannot exhaust the stack.
    ~NativeUSBNode();

    QString name;
    QString location;
    QString className;
    QVariantMap properties;
    NativeUSBNode* parent = nullptr;
    std::vector<std::unique_ptr<NativeUSBNode>> children;
};

} // namespace velkor
