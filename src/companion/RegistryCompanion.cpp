#include "companion/RegistryCompanion.h"

#include "acpi/NativeACPITables.h"
#include "audit/PrivacyAudit.h"
#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "steps/StepContext.h"
#include "companion/SavedRegistryIdentifiers.h"
#include "ioreg/RegistryTextDump.h"
#include "kext/PortwrightKext.h"
#include "kext/USBControllerReports.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "registry/IoregTextLoader.h"
#include "privacy/Sanitizer.h"
#include "files/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velkor {
namespace {

// The companion reports files, not progress: the steps' log lines are not shown.
class SilentLog : public LogSink {
public:
    void log(const QString&) override {}
};

// Puts a finished file or folder in its place, replacing what stands there. A folder cannot
// be renamed over another one, so that one goes first.
void moveIntoPlace(const QString& from, const QString& to)
{
    const QFileInfo target(to);
    if (QFileInfo(from).isDir() || (target.isDir() && !target.isSymLink()))
        removePath(to);
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(to, systemReason(errno)));
}

QString kindNames(const std::set<IdentifierKind>& kinds)
{
    QStringList names;
    for (const IdentifierKind kind : kinds)
        names.append(identifierKindName(kind));
    return names.join(QStringLiteral(", "));
}

} // namespace

QString registryCompanionUsage()
{
    return QStringLiteral(
        "Usage: velkor-registry REGISTRY-FILE OUTPUT-FOLDER\n"
        "       velkor-registry --help | --version\n"
        "\n"
        "Reads a Mac registry saved as the text that `ioreg -l -w0` prints and writes into OUTPUT-FOLDER\n"
        "what Velkor writes from a live registry, with the same code: Portwright.kext and\n"
        "Portwright-report.txt, PCI-USB-Controllers.txt, ioreg.txt, and an ACPI folder with the tables\n"
        "the registry carries (no folder when it carries none). The kext's model comes from the registry.\n"
        "Everything written is cleaned the way Velkor cleans its package: the masking rules, then the\n"
        "saved Mac's own identifiers (serial numbers, UUID, MAC and Bluetooth addresses, device serial\n"
        "numbers, user and computer names) masked in every spelling, and the Windows product key taken\n"
        "out of an MSDM table. A table that still holds such an identifier is left out, with a message.\n"
        "Files of the same names in OUTPUT-FOLDER are replaced. Prints one line per file written.\n"
        "\n"
        "Exit status: 0 success, 1 failure (with a message), 2 wrong command line.\n");
}

int runRegistryCompanion(const QStringList& arguments, const AppBundle& bundle, QTextStream& out, QTextStream& err)
{
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        out << registryCompanionUsage();
        return 0;
    }
    if (arguments.contains(QStringLiteral("--version"))) {
        out << "velkor-registry " << VELKOR_VERSION << '\n';
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
        // A link given on the command line is the user's own choice: it is followed here, and
        // what it names must then be a regular file.
        const QFileInfo inputInfo(input);
        platform.registry = loadIoregTextFile(inputInfo.isSymLink() && inputInfo.exists() ? inputInfo.canonicalFilePath() : input);
        auto propertyLists = std::make_shared<LibplistPropertyListService>();
        platform.propertyLists = propertyLists;

        if (QFileInfo(output).exists() && !QFileInfo(output).isDir())
            throw PlatformError(QStringLiteral("The output folder “%1” is a file").arg(output));
        createDirectories(output);
        // Everything is made and cleaned in a private folder first, so that nothing uncleaned
        // stands in the output folder even for a moment, and nothing else there is touched.
        QTemporaryDir staging(output + QStringLiteral("/.velkor-registry-XXXXXX"));
        if (!staging.isValid())
            throw PlatformError(QStringLiteral("Could not write into “%1”: %2").arg(output, staging.errorString()));
        const QString work = staging.path();

        SilentLog log;
        StepContext context{log, platform};
        generatePortwrightKext(context, work);
        writePCIUSBControllersReport(context, work + QLatin1Char('/') + package::pciUSBControllers);
        writeFallbackIORegText(*platform.registry, work + QLatin1Char('/') + package::ioregText);
        const QString stagedAcpi = work + QLatin1Char('/') + package::acpiFolder;
        createDirectories(stagedAcpi);
        extractNativeACPITablesIfNeeded(platform.registry.get(), stagedAcpi);
        if (QDir(stagedAcpi).isEmpty())
            removePath(stagedAcpi);

        // As the program does with its package: the masking rules over every text file, then the
        // audit for the machine's own identifiers, which also takes the product key out of MSDM.
        sanitizeDirectory(*propertyLists, work);
        std::vector<MachineIdentifier> identifiers = identifiersFromRegistry(*platform.registry);
        for (MachineIdentifier& identifier : savedRegistryIdentifiers(*platform.registry))
            identifiers.push_back(std::move(identifier));
        PrivacyAudit audit(std::move(identifiers));
        const PrivacyAuditResult audited = audit.run(work);

        QStringList written;
        const QString infoPlist = package::kextBundle + QStringLiteral("/Contents/Info.plist");
        for (const QString& name : {package::kextBundle, package::kextReport, package::pciUSBControllers, package::ioregText}) {
            const QString staged = work + QLatin1Char('/') + name;
            if (!pathExists(staged))
                continue;
            moveIntoPlace(staged, output + QLatin1Char('/') + name);
            if (name != package::kextBundle)
                written << output + QLatin1Char('/') + name;
            else if (QFileInfo::exists(output + QLatin1Char('/') + infoPlist))
                written << output + QLatin1Char('/') + infoPlist;
        }
        const QStringList tables = QDir(stagedAcpi).entryList(QDir::Files, QDir::Name);
        for (const QString& name : tables) {
            const QString acpi = output + QLatin1Char('/') + package::acpiFolder;
            createDirectories(acpi);
            moveIntoPlace(stagedAcpi + QLatin1Char('/') + name, acpi + QLatin1Char('/') + name);
            written << acpi + QLatin1Char('/') + name;
        }

        // Names come from the command line and the registry: printed with their control characters escaped.
        for (const QString& path : written)
            out << "wrote " << escapeControlCharacters(path) << '\n';
        for (const QString& table : audited.cleanedMsdmTables)
            out << "removed the Windows product key from " << escapeControlCharacters(output + QLatin1Char('/') + table) << '\n';
        for (auto it = audited.withheldFiles.cbegin(); it != audited.withheldFiles.cend(); ++it)
            err << "velkor-registry: left out " << escapeControlCharacters(it.key()) << ": it holds a " << kindNames(it.value())
                << " of the saved Mac that cannot be masked in place\n";
        return 0;
    } catch (const std::exception& error) {
        err << "velkor-registry: " << describeError(error) << '\n';
        return 1;
    }
}

} // namespace velkor
