#pragma once

#include <QString>
#include <QVariantMap>
#include <memory>

namespace velkor {

// The machine's device registry, shaped like the macOS IORegistry so that the scanner, the
// text renderer and the ACPI supplement read it unchanged.
//
// Property values are QVariants holding one of: QString (text), qint64 or quint64 (number),
// bool (boolean), QByteArray (bytes), QVariantList (list), QVariantMap (dictionary).
// Handles are released by destroying them (RAII).

inline const QString kIOServicePlane = QStringLiteral("IOService");
inline const QString kIODeviceTreePlane = QStringLiteral("IODeviceTree");

class RegistryIterator;

class RegistryEntry {
public:
    virtual ~RegistryEntry() = default;

    // The entry's property table; empty when it cannot be read.
    virtual QVariantMap properties() const = 0;
    // The entry's class name; empty when the registry gives none.
    virtual QString className() const = 0;
    // The entry's own name and location in a plane (the "Name@location" of a listing).
    virtual QString name(const QString& plane) const = 0;
    virtual QString location(const QString& plane) const = 0;
    // Iterator over the children in a plane; null when it cannot be obtained.
    virtual std::unique_ptr<RegistryIterator> childIterator(const QString& plane) const = 0;
};

class RegistryIterator {
public:
    virtual ~RegistryIterator() = default;
    // The next child, or null at the end.
    virtual std::unique_ptr<RegistryEntry> next() = 0;
};

class Registry {
public:
    virtual ~Registry() = default;
    // The root entry; null when the registry cannot be opened.
    virtual std::unique_ptr<RegistryEntry> rootEntry() const = 0;
};

} // namespace velkor
