#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/LinuxCommandTable.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "platform/linux/LibzipArchiveWriter.h"
#include "platform/linux/LinuxAdministratorRunner.h"
#include "platform/linux/LinuxDesktopServices.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "platform/linux/SysfsRegistry.h"
#include "platform/PrivilegedFacts.h"

#include <QDir>

namespace velkor {

Platform makeLinuxPlatform(const QString& executableDirectory, const QString& startNote)
{
    Platform platform;
    platform.bundle = AppBundle::forExecutableDirectory(executableDirectory, QDir::homePath());
    platform.commands = linuxCommandTable(platform.bundle);
    platform.desktop = std::make_shared<LinuxDesktopServices>(QDBusConnection::sessionBus(), QStringLiteral("xdg-open"), startNote);
    platform.archive = std::make_shared<LibzipArchiveWriter>();
    platform.propertyLists = std::make_shared<LibplistPropertyListService>();
    platform.identifiers = std::make_shared<LinuxMachineIdentifierSource>();
    platform.administrator = std::make_shared<LinuxAdministratorRunner>(platform.bundle);
    // The registry takes the xHCI port ranges root hands over during a run from the same store.
    platform.privilegedFacts = std::make_shared<PrivilegedFactsStore>();
    platform.registry = std::make_shared<SysfsRegistry>(QStringLiteral("/"), platform.privilegedFacts);
    return platform;
}

} // namespace velkor
