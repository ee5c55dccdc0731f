#pragma once

#include "base/AppBundle.h"
#include "registry/Registry.h"
#include "usb/USBRecords.h"

#include <functional>
#include <memory>

namespace velkor {

// Finds the machine's USB host controllers and their ports in the registry's IOService plane.
// The plane is copied once into a node tree; everything after that works on the copy.
class NativeUSBTreeScanner {
public:
    // Limits of the copy: a malformed or cyclic registry stops growing the tree here instead of
    // exhausting memory or time. Real registries hold a few thousand entries, some 30 deep.
    static constexpr int kMaxTreeDepth = 128;
    static constexpr qsizetype kMaxTreeNodes = 1'000'000;

    // Controller names come from the ID database in the bundle's Tools folder.
    explicit NativeUSBTreeScanner(const Registry& registry, AppBundle bundle = {});

    // Never fails: an unreadable registry or a machine without controllers gives an empty result.
    USBScanResult scan() const;

    // The IOService plane as a node tree; null when the registry root cannot be obtained.
    std::unique_ptr<NativeUSBNode> buildTree() const;

private:
    const Registry& m_registry;
    AppBundle m_bundle;
};

// The controllers of an already copied tree, named through the lookup.
using ControllerNameLookup = std::function<QString(qint64 vendorID, qint64 deviceID)>;
USBScanResult scanNodeTree(const NativeUSBNode& root, const ControllerNameLookup& names);

} // namespace velkor
