#include "platform/Platform.h"

#include "dumps/LinuxDumpCommands.h"
#include "kext/LinuxUsbReportCommands.h"
#include "platform/LibplistPropertyListService.h"
#include "platform/LibzipArchiveWriter.h"
#include "platform/LinuxAdministratorRunner.h"
#include "platform/LinuxDesktopServices.h"
#include "platform/MachineIdentifiers.h"
#include "platform/registry/SysfsRegistry.h"

#include <QDir>

namespace velkor {

Platform makeLinuxPlatform(const QString& executableDirectory)
{
    Platform platform;
    platform.bundle = AppBundle::forExecutableDirectory(executableDirectory, QDir::homePath());
    platform.commands = linuxCommandTable(platform.bundle);
    platform.desktop = std::make_shared<LinuxDesktopServices>();
    platform.archive = std::make_shared<LibzipArchiveWriter>();
    platform.propertyLists = std::make_shared<LibplistPropertyListService>();
    platform.identifiers = std::make_shared<LinuxMachineIdentifierSource>();
    platform.administrator = std::make_shared<LinuxAdministratorRunner>();
    platform.registry = std::make_shared<SysfsRegistry>(QStringLiteral("/"));
    return platform;
}

CommandTable linuxCommandTable(const AppBundle& bundle)
{
    CommandTable table;
    // The bundled listing tool prints a registry plane in the "ioreg -l -w0" text form.
    table.deviceTreeListing = {bundle.toolsPath() + QStringLiteral("/ioreg"),
                               {QStringLiteral("-p"), QStringLiteral("IODeviceTree"), QStringLiteral("-l"), QStringLiteral("-w0")}};
    addLinuxDumpCommands(table, bundle);
    addLinuxUsbReportCommands(table, bundle);
    return table;
}

} // namespace velkor
