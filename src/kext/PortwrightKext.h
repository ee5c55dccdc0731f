#pragma once

#include "registry/Registry.h"
#include "usb/USBRecords.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace velkor {

class PropertyListService;
struct StepContext;

// The collection step: scans the registry's USB controllers and writes "Portwright.kext" (its
// Contents/Info.plist only) and "Portwright-report.txt" into the work folder. With no
// controller only the four-line report is written and an older bundle stays as it was.
// Throws the first file, serialization or validation error.
void generatePortwrightKext(StepContext& context, const QString& work);

// The same from an explicit scan and machine model.
void writePortwrightKext(const USBScanResult& scan, const QString& machineModel, PropertyListService& propertyLists,
                         const QString& work);

// The machine's model ("iMac18,3") from the registry's platform node; "Mac" when it has none.
QString machineModelFromRegistry(const Registry& registry);

// The pieces of the bundle and report, for a scan that found controllers.
QVariantMap portwrightInfoDictionary(const USBScanResult& scan, const QString& machineModel);
QString portwrightReport(const USBScanResult& scan, const QString& machineModel = QStringLiteral("Mac"));
// One WARNING line for each controller whose port numbers are guesses.
QStringList portwrightWarnings(const USBScanResult& scan);
QString portwrightNotGeneratedReport();

// "0xa36d8086": device first, then vendor.
QString pciPrimaryMatch(qint64 vendorID, qint64 deviceID);
QString controllerVendorName(qint64 vendorID);

} // namespace velkor
