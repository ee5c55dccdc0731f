#pragma once

#include "base/AppBundle.h"
#include "platform/CommandTable.h"

#include <QStringList>
#include <memory>

namespace velkor {

class AdministratorRunner;
class ArchiveWriter;
class DesktopServices;
class MachineIdentifierSource;
class PrivilegedFactsStore;
class PropertyListService;
class Registry;

// Where an already-mounted EFI system partition shows its "EFI" folder, in the order they are
// tried: the macOS mount points first, then the places Linux mounts the partition.
QStringList defaultEFIRoots();

// The services the collection needs from the machine, one interface each. The program uses
// the Linux implementations; tests put fakes in their place.
struct Platform {
    AppBundle bundle;
    CommandTable commands;
    std::shared_ptr<DesktopServices> desktop;
    std::shared_ptr<ArchiveWriter> archive;
    std::shared_ptr<PropertyListService> propertyLists;
    std::shared_ptr<Registry> registry;
    std::shared_ptr<AdministratorRunner> administrator;
    std::shared_ptr<MachineIdentifierSource> identifiers;
    // Where transient folders go; empty means the system's temporary folder.
    QString temporaryDirectory;

    // What only root may read, as the administrator step finds it: the firmware identity and the
    // xHCI debug files below machineRoot (sys/class/dmi/id, sys/kernel/debug/usb/xhci) and the
    // configurations of the EFI partition mounted at the first of efiRoots that exists.
    QString machineRoot = QStringLiteral("/");
    QStringList efiRoots = defaultEFIRoots();
    // What the administrator step handed over for the run under way; may be null.
    std::shared_ptr<PrivilegedFactsStore> privilegedFacts;
};

} // namespace velkor
