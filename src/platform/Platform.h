#pragma once

#include "base/AppBundle.h"
#include "platform/CommandTable.h"

#include <memory>

namespace velkor {

class AdministratorRunner;
class ArchiveWriter;
class DesktopServices;
class MachineIdentifierSource;
class PropertyListService;
class Registry;

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
};

} // namespace velkor
