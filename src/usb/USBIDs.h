#pragma once

#include "base/AppBundle.h"

#include <QString>

namespace velkor {

// The vendor and device name of a controller from the ID database "usb.ids" in the bundle's
// Tools folder, read afresh on every call. Empty when the file is missing, is not UTF-8, or
// does not name the device (a known vendor alone is never returned).
QString usbIDsName(const AppBundle& bundle, qint64 vendorID, qint64 deviceID);

// The same lookup in a database file at an explicit path.
QString usbIDsNameFromFile(const QString& databasePath, qint64 vendorID, qint64 deviceID);

} // namespace velkor
