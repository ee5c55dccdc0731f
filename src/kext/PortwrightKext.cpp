#include "kext/PortwrightKext.h"

#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "steps/StepContext.h"
#include "kext/ControllerNaming.h"
#include "usb/USBTextFormat.h"
#include "platform/PropertyListService.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "registry/RegistryProperties.h"
#include "registry/RegistryWalk.h"
#include "usb/NativeUSBTreeScanner.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace velkor {
namespace {

const QString kMacFallbackModel = QStringLiteral("Mac");

QVariant integer(qint64 value)
{
    return QVariant::fromValue(value);
}

// The ports a controller's personality and report block describe: the scanned ports, else
// the built-in template for its controller, sorted by port number (stable).
struct ChosenPorts {
    QList<USBPortMap> ports;
    bool fromTemplate = false;
};

ChosenPorts choosePorts(const USBControllerMap& controller)
{
    ChosenPorts chosen;
    if (!controller.ports.isEmpty()) {
        chosen.ports = controller.ports;
    } else {
        chosen.ports = legacyUSBPortTemplatePorts(controller);
        chosen.fromTemplate = !chosen.ports.isEmpty();
    }
    std::stable_sort(chosen.ports.begin(), chosen.ports.end(),
                     [](const USBPortMap& left, const USBPortMap& right) { return portNumber(left) < portNumber(right); });
    return chosen;
}

QVariantMap supportPersonality(const USBControllerMap& controller, const QString& className)
{
    QVariantMap personality;
    personality[QStringLiteral("CFBundleIdentifier")] = QStringLiteral("com.apple.driver.usb.AppleUSBXHCIPCI");
    personality[QStringLiteral("IOClass")] = className;
    personality[QStringLiteral("IOPCIPrimaryMatch")] = pciPrimaryMatch(controller.vendorID, controller.deviceID);
    personality[QStringLiteral("IOPCIPauseCompatible")] = true;
    personality[QStringLiteral("IOPCITunnelCompatible")] = true;
    personality[QStringLiteral("IOProbeScore")] = integer(900);
    personality[QStringLiteral("IOProviderClass")] = QStringLiteral("IOPCIDevice");
    personality[QStringLiteral("model")] = controller.usbDeviceName.isEmpty()
        ? usbtext::hex(controller.vendorID, 4, true) + QLatin1Char(':') + usbtext::hex(controller.deviceID, 4, true)
        : controller.usbDeviceName;
    return personality;
}

QVariantMap portEntry(const USBPortMap& port)
{
    QVariantMap entry;
    entry[QStringLiteral("UsbConnector")] = integer(port.connector);
    entry[QStringLiteral("name")] = port.name;
    entry[QStringLiteral("port")] = port.portData;
    entry[QStringLiteral("usb-port-number")] = port.portData;
    entry[QStringLiteral("usb-port-type")] = integer(port.connector);
    return entry;
}

QVariantMap portPersonality(const USBControllerMap& controller, const ChosenPorts& chosen, const QString& machineModel)
{
    QVariantMap ports;
    quint32 largest = 0;
    for (const USBPortMap& port : chosen.ports) {
        const quint32 number = portNumber(port);
        if (port.portData.isEmpty() || number == 0 || !port.leftOutReason.isEmpty())
            continue;
        largest = std::max(largest, number);
        ports[port.name] = portEntry(port);
    }

    const quint32 fallbackCount = largest != 0 ? largest : quint32(chosen.ports.size());
    quint32 count = fallbackCount;
    if (chosen.fromTemplate) {
        const auto key = legacyUSBPortTemplateKey(controller);
        const auto layout = key ? legacyUSBPortTemplate(*key) : std::nullopt;
        if (layout)
            count = layout->count;
    }

    QVariantMap merge;
    merge[QStringLiteral("kUSBMuxEnabled")] = true;
    merge[QStringLiteral("kUSBSleepPortCurrentLimit")] = integer(2100);
    merge[QStringLiteral("kUSBSleepPowerSupply")] = integer(5100);
    merge[QStringLiteral("kUSBWakePortCurrentLimit")] = integer(2100);
    merge[QStringLiteral("kUSBWakePowerSupply")] = integer(5100);
    merge[QStringLiteral("port-count")] = littleEndianBytes(count);
    merge[QStringLiteral("ports")] = ports;

    QVariantMap personality;
    personality[QStringLiteral("CFBundleIdentifier")] = QStringLiteral("com.apple.driver.AppleUSBHostMergeProperties");
    personality[QStringLiteral("IOClass")] = QStringLiteral("AppleUSBHostMergeProperties");
    personality[QStringLiteral("IONameMatch")] = controller.name;
    personality[QStringLiteral("IOPCIPrimaryMatch")] = pciPrimaryMatch(controller.vendorID, controller.deviceID);
    personality[QStringLiteral("IOProbeScore")] = integer(5000);
    personality[QStringLiteral("IOPCIPauseCompatible")] = true;
    personality[QStringLiteral("IOPCITunnelCompatible")] = true;
    personality[QStringLiteral("IOProviderClass")] = QStringLiteral("AppleUSBXHCIPCI");
    personality[QStringLiteral("model")] = machineModel;
    personality[QStringLiteral("IOProviderMergeProperties")] = merge;
    return personality;
}

bool hasUsableIdentity(const USBControllerMap& controller)
{
    return controller.vendorID >= 1 && controller.deviceID >= 1;
}

// The controller's part of its port personality name, and whether it had to be made unique:
// two controllers of the same name (Intel firmware names every add-in slot device PXSX) would
// otherwise share one personality and the later would replace the earlier's port map. The
// controller's PCI location keeps the name the same from run to run.
struct PersonalityName {
    QString controllerPart;
    bool madeUnique = false;
};

QString plainControllerPart(const USBControllerMap& controller)
{
    return controller.name.isEmpty()
        ? QStringLiteral("USB_") + usbtext::hex(controller.vendorID, 4, false) + QLatin1Char('_')
            + usbtext::hex(controller.deviceID, 4, false)
        : controller.name;
}

// One entry per controller of the scan, in scan order; empty parts for controllers that get no
// port personality.
QList<PersonalityName> portPersonalityNames(const USBScanResult& scan)
{
    QList<PersonalityName> names;
    QHash<QString, int> uses;
    for (const USBControllerMap& controller : scan.controllers) {
        PersonalityName name;
        if (hasUsableIdentity(controller) && !choosePorts(controller).ports.isEmpty())
            name.controllerPart = plainControllerPart(controller);
        if (!name.controllerPart.isEmpty())
            ++uses[name.controllerPart];
        names.append(name);
    }
    QSet<QString> taken;
    for (const PersonalityName& name : names) {
        if (uses.value(name.controllerPart) == 1)
            taken.insert(name.controllerPart);
    }
    for (qsizetype i = 0; i < names.size(); ++i) {
        PersonalityName& name = names[i];
        if (name.controllerPart.isEmpty() || uses.value(name.controllerPart) == 1)
            continue;
        const USBControllerMap& controller = scan.controllers[i];
        const QString where = controller.location.isEmpty()
            ? usbtext::hex(controller.vendorID, 4, false) + QLatin1Char('_') + usbtext::hex(controller.deviceID, 4, false)
            : controller.location;
        QString unique = name.controllerPart + QLatin1Char('_') + sanitizePersonalityName(where);
        for (int n = 2; taken.contains(unique); ++n)
            unique = name.controllerPart + QLatin1Char('_') + sanitizePersonalityName(where) + QLatin1Char('_') + QString::number(n);
        taken.insert(unique);
        name.controllerPart = unique;
        name.madeUnique = true;
    }
    return names;
}

// The report's notes on a port the registry could not describe for certain.
QString portNotes(const USBPortMap& port)
{
    QStringList notes;
    if (!port.leftOutReason.isEmpty())
        notes.append(QStringLiteral("left out of the kext: ") + port.leftOutReason);
    if (!port.firmwareName.isEmpty())
        notes.append(QStringLiteral("named ") + port.name + QStringLiteral(" in place of the firmware's name ")
                     + port.firmwareName + QStringLiteral(", which macOS does not take as a port name"));
    if (port.numberInferred)
        notes.append(QStringLiteral("port number inferred"));
    if (port.connectorInferred)
        notes.append(QStringLiteral("connector type inferred"));
    return notes.isEmpty() ? QString() : QStringLiteral(" (") + notes.join(QStringLiteral("; ")) + QLatin1Char(')');
}

bool hasInferredNumbers(const USBControllerMap& controller)
{
    return std::any_of(controller.ports.begin(), controller.ports.end(),
                       [](const USBPortMap& port) { return port.numberInferred; });
}

} // namespace

QString pciPrimaryMatch(qint64 vendorID, qint64 deviceID)
{
    return QStringLiteral("0x") + usbtext::hex(deviceID, 4, false) + usbtext::hex(vendorID, 4, false);
}

QString controllerVendorName(qint64 vendorID)
{
    switch (vendorID) {
    case 0x1002:
    case 0x1022:
        return QStringLiteral("AMD");
    case 0x1106:
        return QStringLiteral("VIA");
    case 0x1B73:
        return QStringLiteral("FrescoLogic");
    case 0x8086:
        return QStringLiteral("Intel");
    case 0x1912:
        return QStringLiteral("Renesas");
    case 0x1B21:
        return QStringLiteral("ASMedia");
    default:
        return QStringLiteral("Vendor") + usbtext::hex(vendorID, 4, true);
    }
}

QVariantMap portwrightInfoDictionary(const USBScanResult& scan, const QString& machineModel)
{
    QVariantMap personalities;

    // One support personality per PCI identity; two controllers of one model share it.
    QSet<QString> seenMatches;
    for (const USBControllerMap& controller : scan.controllers) {
        if (!hasUsableIdentity(controller))
            continue;
        const QString match = pciPrimaryMatch(controller.vendorID, controller.deviceID);
        if (seenMatches.contains(match.toLower()))
            continue;
        seenMatches.insert(match.toLower());
        const QString className = usbXHCIClassName(controller);
        const QString name = className + QLatin1Char(' ') + sanitizePersonalityName(controllerVendorName(controller.vendorID))
            + QLatin1Char('_') + usbtext::hex(controller.vendorID, 4, true) + QLatin1Char('_')
            + usbtext::hex(controller.deviceID, 4, true);
        personalities[name] = supportPersonality(controller, className);
    }

    // One port personality per controller with ports, each under a name of its own.
    const QList<PersonalityName> names = portPersonalityNames(scan);
    for (qsizetype i = 0; i < scan.controllers.size(); ++i) {
        if (names[i].controllerPart.isEmpty())
            continue;
        const USBControllerMap& controller = scan.controllers[i];
        personalities[machineModel + QLatin1Char('-') + names[i].controllerPart] =
            portPersonality(controller, choosePorts(controller), machineModel);
    }

    QVariantMap info;
    info[QStringLiteral("CFBundleDevelopmentRegion")] = QStringLiteral("English");
    info[QStringLiteral("CFBundleGetInfoString")] =
        QStringLiteral("1.0 Portwright USB port map, generated by Velkor from this machine's USB controllers");
    info[QStringLiteral("CFBundleIdentifier")] = QStringLiteral("com.quorvex.Portwright");
    info[QStringLiteral("CFBundleInfoDictionaryVersion")] = QStringLiteral("6.0");
    info[QStringLiteral("CFBundleName")] = QStringLiteral("Portwright");
    info[QStringLiteral("CFBundlePackageType")] = QStringLiteral("KEXT");
    info[QStringLiteral("CFBundleShortVersionString")] = QStringLiteral("1.0");
    info[QStringLiteral("CFBundleSignature")] = QStringLiteral("????");
    info[QStringLiteral("CFBundleVersion")] = QStringLiteral("1.0");
    info[QStringLiteral("IOKitPersonalities")] = personalities;
    info[QStringLiteral("OSBundleRequired")] = QStringLiteral("Root");
    return info;
}

QString portwrightNotGeneratedReport()
{
    return QStringList{
        QStringLiteral("Portwright.kext was not generated."),
        QStringLiteral("Reason: no USB XHCI controllers or ports were found through the native IOKit scanner."),
        QStringLiteral("The app does not call the host /usr/sbin/ioreg command. USB generation uses live IOKit data and "
                       "does not use a saved .ioreg file."),
        QStringLiteral("The ZIP was completed without USB configuration data."),
    }
        .join(QLatin1Char('\n'));
}

QStringList portwrightWarnings(const USBScanResult& scan)
{
    QStringList warnings;
    for (const USBControllerMap& controller : scan.controllers) {
        if (hasInferredNumbers(controller))
            warnings.append(QStringLiteral("WARNING: The USB port numbers of controller ") + controller.name + QLatin1Char('@')
                            + controller.location + QStringLiteral(" (") + usbtext::hex(controller.vendorID, 4, false)
                            + QLatin1Char(':') + usbtext::hex(controller.deviceID, 4, false)
                            + QStringLiteral(") are inferred: neither its port layout nor the firmware gives them. "
                                             "Check them in Portwright-report.txt before using the kext."));
    }
    return warnings;
}

QString portwrightReport(const USBScanResult& scan, const QString& machineModel)
{
    const QList<PersonalityName> names = portPersonalityNames(scan);
    QStringList lines{
        QStringLiteral("Portwright.kext generated automatically."),
        QStringLiteral("Format: native dynamic AppleUSBHostMergeProperties / IOProviderMergeProperties."),
        QStringLiteral("Includes only dynamic AppleUSBXHCIPCI support personalities for USB controller PCI IDs detected on "
                       "this machine."),
        QStringLiteral("Primary source: native IOKit IORegistry scan, the same live registry layer used by macOS tools. No "
                       "saved .ioreg is used."),
        QStringLiteral("No static controller database is injected; every support match is generated from this machine's "
                       "detected USB controller PCI IDs."),
        QStringLiteral("USB controller personalities also include IOPCIPauseCompatible and IOPCITunnelCompatible for better "
                       "wake/tunnel stability on modern Intel/TB controllers."),
        QStringLiteral("Controller discovery is USB-controller PCI class + AppleUSBXHCI* based; IONameMatch is the "
                       "discovered name, not a hardcoded TXHC/XHCI assumption."),
        QStringLiteral("The 15-port macOS limit is not enforced by this generator."),
        QStringLiteral("Each USB controller personality injects kUSBMuxEnabled = YES inside IOProviderMergeProperties."),
        QStringLiteral("Each port contains: UsbConnector, name, port, usb-port-number, usb-port-type."),
        QString(),
    };
    for (qsizetype i = 0; i < scan.controllers.size(); ++i) {
        const USBControllerMap& controller = scan.controllers[i];
        lines.append(QStringLiteral("Controller: ") + controller.name + QLatin1Char('@') + controller.location);
        lines.append(QStringLiteral("  PCI ID: ") + usbtext::hex(controller.vendorID, 4, false) + QLatin1Char(':')
                     + usbtext::hex(controller.deviceID, 4, false));
        lines.append(QStringLiteral("  Provider Class: ") + controller.providerClass);
        lines.append(QStringLiteral("  Match: IONameMatch=") + controller.name + QStringLiteral(" IOPCIPrimaryMatch=")
                     + pciPrimaryMatch(controller.vendorID, controller.deviceID));
        if (names[i].madeUnique)
            lines.append(QStringLiteral("  Port personality: ") + machineModel + QLatin1Char('-') + names[i].controllerPart
                         + QStringLiteral(" (made unique with the controller's location: another controller has the name ")
                         + plainControllerPart(controller) + QStringLiteral(")"));
        if (hasInferredNumbers(controller))
            lines.append(QStringLiteral("  Port numbers: inferred - neither the controller's port layout nor the firmware "
                                        "gives them; USB 2 ports are counted first, then USB 3 ports."));
        const ChosenPorts chosen = choosePorts(controller);
        if (chosen.ports.isEmpty()) {
            lines.append(QStringLiteral("  Ports: 0 - support personality only; no usable USB port tree or fallback "
                                        "template was available during collection."));
            lines.append(QString());
            continue;
        }
        QString count = QStringLiteral("  Ports: ") + QString::number(chosen.ports.size());
        if (chosen.fromTemplate)
            count += QStringLiteral(" generated from internal controller template fallback.");
        lines.append(count);
        for (const USBPortMap& port : chosen.ports) {
            QString line = QStringLiteral("  ") + port.name + QLatin1Char('@') + port.location + QStringLiteral("  port=")
                + QString::fromLatin1(port.portData.toHex()) + QStringLiteral("  UsbConnector=")
                + QString::number(port.connector);
            if (!port.activeDevice.isEmpty())
                line += QStringLiteral(" active=") + port.activeDevice;
            lines.append(line + portNotes(port));
        }
        lines.append(QString());
    }
    return lines.join(QLatin1Char('\n'));
}

void writePortwrightKext(const USBScanResult& scan, const QString& machineModel, PropertyListService& propertyLists,
                         const QString& work)
{
    const QString reportPath = work + QLatin1Char('/') + package::kextReport;
    if (scan.isEmpty()) {
        writeTextFile(reportPath, maskText(portwrightNotGeneratedReport()));
        return;
    }

    const QString bundle = work + QLatin1Char('/') + package::kextBundle;
    removePath(bundle);
    createDirectories(bundle + QStringLiteral("/Contents"));
    const QString infoPath = bundle + QStringLiteral("/Contents/Info.plist");

    const QByteArray xml = propertyLists.serializeXml(portwrightInfoDictionary(scan, machineModel));
    if (xml.isEmpty())
        throw CollectorError::operationFailed(QStringLiteral("Could not serialize ") + infoPath
                                              + QStringLiteral(" as a property list."));
    writeFileAtomically(infoPath, xml);

    // Read the written file back: a bundle whose Info.plist does not parse must not pass.
    if (const auto problem = propertyLists.validationError(infoPath))
        throw CollectorError::operationFailed(QStringLiteral("Property list validation failed for ") + infoPath
                                              + QStringLiteral(": ") + *problem);

    writeTextFile(reportPath, maskText(portwrightReport(scan, machineModel)));
}

QString machineModelFromRegistry(const Registry& registry)
{
    const std::unique_ptr<RegistryEntry> platform = platformNode(registry);
    const QString model = platform ? RegistryProperties(*platform).text(QStringLiteral("model")).trimmed() : QString();
    return model.isEmpty() ? kMacFallbackModel : model;
}

void generatePortwrightKext(StepContext& context, const QString& work)
{
    const Platform& platform = context.platform;
    USBScanResult scan;
    QString model = kMacFallbackModel;
    if (platform.registry) {
        scan = NativeUSBTreeScanner(*platform.registry, platform.bundle).scan();
        if (!scan.isEmpty())
            model = machineModelFromRegistry(*platform.registry);
    }
    if (scan.isEmpty()) {
        writeTextFile(work + QLatin1Char('/') + package::kextReport, maskText(portwrightNotGeneratedReport()));
        return;
    }
    for (const QString& warning : portwrightWarnings(scan))
        context.log.log(warning);
    if (!platform.propertyLists)
        throw CollectorError::operationFailed(QStringLiteral("No property list service is available to write ")
                                              + package::kextBundle + QLatin1Char('.'));
    writePortwrightKext(scan, model, *platform.propertyLists, work);
}

} // namespace velkor
