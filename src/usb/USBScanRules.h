#pragma once

#include "usb/USBRecords.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <optional>
#include <utility>
#include <vector>

// The rules the registry USB scanner applies to one node or one property table. They are pure
// functions of their inputs; the scanner composes them.
namespace velkor::usbscan {

// Port node properties by which a registry built from another system's facts (the Linux sysfs
// registry) says what it could not take from the hardware or the firmware.
// "port-number-source": kInferred when the number is a guess. "connector-source": kInferred
// when the registry knows no connector type, so that the scanner's own guess stands.
inline const QString kPortNumberSourceKey = QStringLiteral("port-number-source");
inline const QString kConnectorSourceKey = QStringLiteral("connector-source");
inline const QString kInferred = QStringLiteral("inferred");
// "firmware-port-name": the firmware's name of a port that the node carries under another name.
inline const QString kFirmwarePortNameKey = QStringLiteral("firmware-port-name");
// "connect-type": the firmware's _UPC view of the port; kConnectTypeNotUsed when it is not wired.
inline const QString kConnectTypeKey = QStringLiteral("connect-type");
inline const QString kConnectTypeNotUsed = QStringLiteral("not used");

// The text before the first "@", or the whole text trimmed when it has no "@".
QString shortName(const QString& text);

// Whether an upper-cased short name has the form of a port name (HS01, SS02, USR1, SSP1...).
bool isPortName(const QString& upperShortName);

// Whether a "class-code" value (its low 32 bits) is that of an XHCI controller, in any of the
// byte orders registries write it in.
bool isXHCIClassCode(qint64 classCode);
bool hasXHCIClassCode(const NativeUSBNode& node);

// A node's name: its "IOName" or "name", else the first text of its "compatible" data, else
// the class name.
QString registryName(const QVariantMap& properties, const QString& fallbackClass);
// A node's location, upper case: its "location", else "locationID", "port" or
// "usb-port-number" as 8 hexadecimal digits; empty when it has none.
QString registryLocation(const QVariantMap& properties);

// Vendor and device from the node's names and identity properties.
QString pciIdentitySearchText(const NativeUSBNode& node);
QString stringValueForPCIIdentity(const QVariant& value);
std::optional<std::pair<qint64, qint64>> parsePCIIdentity(const QString& text);

bool isUSBPortNode(const NativeUSBNode& node);
// The number of a port that carries none: the last comma piece of the location in hexadecimal,
// else the digits of the name (SuperSpeed names count from 17). May exceed 32 bits.
qint64 inferredPortNumber(const QString& name, const QString& location);
QString firstAttachedDeviceName(const NativeUSBNode& node);

// The node and all its descendants, pre-order.
std::vector<const NativeUSBNode*> flatten(const NativeUSBNode& node);

// The sorted ports of one controller node.
QList<USBPortMap> scanPorts(const NativeUSBNode& controller);

} // namespace velkor::usbscan
