#include "platform/Platform.h"

#include "platform/LibplistPropertyListService.h"
#include "platform/LibzipArchiveWriter.h"
#include "platform/LinuxDesktopServices.h"

#include <QDir>

namespace velkor {

Platform makeLinuxPlatform(const QString& executableDirectory)
{
    Platform platform;
    platform.bundle = AppBundle::forExecutableDirectory(executableDirectory, QDir::homePath());
    platform.commands = CommandTable::forLinux(platform.bundle);
    platform.desktop = std::make_shared<LinuxDesktopServices>();
    platform.archive = std::make_shared<LibzipArchiveWriter>();
    platform.propertyLists = std::make_shared<LibplistPropertyListService>();
    return platform;
}

} // namespace velkor
