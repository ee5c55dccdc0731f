#include "companion/RegistryCompanion.h"

#include "acpi/NativeACPITables.h"
#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "steps/StepContext.h"
#include "ioreg/RegistryTextDump.h"
#include "kext/PortwrightKext.h"
#include "kext/USBControllerReports.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "registry/IoregTextLoader.h"
#include "privacy/Sanitizer.h"
#include "files/Files.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace velkor {
namespace {

// The companion reports files, not progress: the steps' log lines are not shown.
class SilentLog : public LogSink {
public:
    void log(const QString&) override {}
};

} // namespace

QString registryCompanionUsage()
{
    return QStringLiteral(
        "Usage: velkor-registry REGISTRY-FILE OUTPUT-FOLDER\n"
        "\n"
        "Reads a Mac registry saved as the text that `ioreg -l` (or `ioreg -l -w0`) prints and writes\n"
        "into OUTPUT-FOLDER what Velkor writes from a live registry, with the same code and masking:\n"
        "Portwright.kext and Portwright-report.txt, PCI-USB-Controllers.txt, ioreg.txt, and an ACPI\n"
        "folder with the tables the registry carries. The kext's model comes from the registry.\n"
        "Prints one line per file written; exits 0 on success and 1 with a message on failure.\n");
}

int runRegistryCompanion(const QStringList& arguments, const AppBundle& bundle, QTextStream& out, QTextStream& err)
{
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        out << registryCompanionUsage();
        return 0;
    }
    if (arguments.size() != 2 || arguments[0].startsWith(QLatin1Char('-')) || arguments[1].startsWith(QLatin1Char('-'))) {
        err << registryCompanionUsage();
        return 2;
    }
    const QString input = arguments[0];
    const QString output = QDir::cleanPath(QFileInfo(arguments[1]).absoluteFilePath());

    try {
        Platform platform;
        platform.bundle = bundle;
        platform.registry = loadIoregTextFile(input);
        auto propertyLists = std::make_shared<LibplistPropertyListService>();
        platform.propertyLists = propertyLists;

        if (QFileInfo(output).exists() && !QFileInfo(output).isDir())
            throw PlatformError(QStringLiteral("The output folder “%1” is a file").arg(output));
        createDirectories(output);
        const QString acpi = output + QLatin1Char('/') + package::acpiFolder;
        createDirectories(acpi);

        SilentLog log;
        StepContext context{log, platform};
        QStringList written;

        generatePortwrightKext(context, output);
        const QString infoPlist = output + QLatin1Char('/') + package::kextBundle + QStringLiteral("/Contents/Info.plist");
        const QString kextReport = output + QLatin1Char('/') + package::kextReport;
        // The program masks the kext's property list with the whole package; so does the companion.
        if (QFileInfo::exists(infoPlist)) {
            sanitizeTextLikeFile(*propertyLists, infoPlist);
            written << infoPlist;
        }
        written << kextReport;

        const QString controllers = output + QLatin1Char('/') + package::pciUsbControllers;
        writePCIUSBControllersReport(context, controllers);
        written << controllers;

        const QString ioregText = output + QLatin1Char('/') + package::ioregText;
        writeFallbackIORegText(*platform.registry, ioregText);
        written << ioregText;

        const QStringList before = acpiTableFiles(acpi);
        extractNativeACPITablesIfNeeded(platform.registry.get(), acpi);
        for (const QString& name : acpiTableFiles(acpi)) {
            if (!before.contains(name))
                written << acpi + QLatin1Char('/') + name;
        }

        for (const QString& path : written)
            out << "wrote " << path << '\n';
        return 0;
    } catch (const std::exception& error) {
        err << "velkor-registry: " << describeError(error) << '\n';
        return 1;
    }
}

} // namespace velkor
