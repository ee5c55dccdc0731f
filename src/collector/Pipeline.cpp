#include "base/CollectorError.h"
#include "collector/CollectorModel.h"
#include "steps/PackageLayout.h"
#include "collector/RunBridge.h"
#include "platform/ArchiveWriter.h"
#include "platform/DesktopServices.h"
#include "platform/PrivilegedFacts.h"
#include "privacy/TextMasking.h"
#include "steps/CommandCapture.h"
#include "files/Files.h"
#include "process/ToolLocator.h"

#include <QCoreApplication>
#include <QDir>

#include <optional>
#include <unistd.h>

namespace velkor {
namespace {

struct RunLocations {
    QString desktop;
    QString work;
    QString acpi;
    QString temporary; // where the run's private folder is made
    QString archive;
};

RunLocations locationsFor(const Platform& platform)
{
    RunLocations at;
    at.desktop = platform.desktop->desktopPath();
    at.work = at.desktop + QLatin1Char('/') + package::workFolder;
    at.acpi = at.work + QLatin1Char('/') + package::acpiFolder;
    at.temporary = platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : platform.temporaryDirectory;
    at.archive = at.desktop + QLatin1Char('/') + package::zipName;
    return at;
}

// What root hands over belongs to one run: nothing from an earlier run, and nothing kept after.
class PrivilegedFactsOfOneRun {
public:
    explicit PrivilegedFactsOfOneRun(const Platform& platform) : m_store(platform.privilegedFacts.get()) { clear(); }
    ~PrivilegedFactsOfOneRun() { clear(); }
    PrivilegedFactsOfOneRun(const PrivilegedFactsOfOneRun&) = delete;
    PrivilegedFactsOfOneRun& operator=(const PrivilegedFactsOfOneRun&) = delete;

private:
    void clear() const
    {
        if (m_store)
            m_store->clear();
    }
    PrivilegedFactsStore* m_store;
};

void removeQuietly(const QString& path)
{
    try {
        removePath(path);
    } catch (const std::exception&) {
    }
}

} // namespace

void writeCollectorLog(RunBridge& bridge, const QString& path)
{
    QString snapshot;
    bridge.onMainThread([&snapshot](CollectorModel& model) { snapshot = model.logText(); });
    QString masked = maskText(snapshot);
    if (bridge.steps.maskCollectorLog)
        masked = bridge.steps.maskCollectorLog(masked);
    writeTextFile(path, masked);
}

void runCollection(RunBridge& bridge)
{
    const Platform& platform = bridge.platform;
    const CollectionSteps& steps = bridge.steps;
    StepContext context{bridge, platform};
    const ToolLocator tools(platform.bundle);
    // Removed with what it holds on every way out of the run.
    std::optional<PrivateTemporaryFolder> toolsTemp;

    bridge.onMainThread([&tools](CollectorModel& model) {
        model.setPatchmatic(tools.findExecutable(QStringLiteral("patchmatic")));
        model.append(QStringLiteral("----------------------------------------"));
        model.append(QStringLiteral("Starting collection."));
    });

    const PrivilegedFactsOfOneRun privilegedFactsOfThisRun(platform);

    try {
        const RunLocations at = locationsFor(platform);

        recreateDirectory(at.work);
        toolsTemp.emplace(at.temporary, package::toolsTempPrefix + QString::number(::getpid()) + QLatin1Char('_'));
        context.temporaryFolder = toolsTemp->path();
        createDirectories(at.acpi);
        bridge.log(QStringLiteral("Temporary folder created: ") + at.work);

        const std::optional<QString> patchmatic = tools.findExecutable(QStringLiteral("patchmatic"));
        if (!patchmatic)
            throw CollectorError::missingTool(QStringLiteral("patchmatic not found."));

        bridge.throwIfAbandoned();
        if (steps.extractACPIWithValidation) {
            bridge.log(QStringLiteral("Running privileged ACPI extraction with bundled patchmatic..."));
            steps.extractACPIWithValidation(context, *patchmatic, at.acpi);
            bridge.log(QStringLiteral("ACPI step completed: ") + at.acpi);
        }

        bridge.throwIfAbandoned();
        if (steps.collectSweepkitStyleDumps) {
            bridge.log(QStringLiteral("Collecting additional Sweepkit-style dumps with privacy mode..."));
            steps.collectSweepkitStyleDumps(context, at.work, at.work);
            bridge.log(QStringLiteral("Additional dumps collected and sanitized."));
        }

        bridge.throwIfAbandoned();
        if (steps.collectCPUFriendDump) {
            bridge.log(QStringLiteral("Collecting CPUFriend/XCPM/FrequencyVectors diagnostics..."));
            steps.collectCPUFriendDump(context, at.work);
            bridge.log(QStringLiteral("CPUFriend-Dump step completed at ZIP root folder CPUFriend-Dump."));
        }

        bridge.throwIfAbandoned();
        if (steps.writeFallbackIORegText) {
            bridge.log(QStringLiteral("Generating ioreg.txt from native IOKit data..."));
            const QString ioregText = at.work + QLatin1Char('/') + package::ioregText;
            try {
                steps.writeFallbackIORegText(context, ioregText);
                bridge.log(QStringLiteral("ioreg.txt generated: ") + ioregText);
            } catch (const std::exception& error) {
                bridge.log(QStringLiteral("WARNING: Could not generate ioreg.txt: ") + describeError(error));
            }
        }

        bridge.throwIfAbandoned();
        bridge.log(QStringLiteral("Generating ioregAPP.txt from IODeviceTree..."));
        // The listing masked, or its masked failure text; only a failed write ends the run.
        captureCommandOutput(platform.commands.deviceTreeListing, 45, at.work + QLatin1Char('/') + package::ioregDeviceTree, &bridge);
        bridge.log(QStringLiteral("ioregAPP.txt step completed at ZIP root."));

        bridge.throwIfAbandoned();
        if (steps.generatePortwrightKext) {
            bridge.log(QStringLiteral("Generating Portwright.kext without enforcing the 15-port limit..."));
            steps.generatePortwrightKext(context, at.work);
            bridge.log(QStringLiteral("Portwright.kext step completed at ZIP root."));
        }

        bridge.throwIfAbandoned();
        if (steps.writeSystemInfo)
            steps.writeSystemInfo(context, at.work + QLatin1Char('/') + package::systemInfo);

        bridge.throwIfAbandoned();
        if (steps.sanitizeDirectory)
            steps.sanitizeDirectory(context, at.work);

        bridge.throwIfAbandoned();
        if (steps.auditPrivacy)
            steps.auditPrivacy(context, at.work);

        bridge.throwIfAbandoned();
        writeCollectorLog(bridge, at.work + QLatin1Char('/') + package::collectorLog);

        bridge.throwIfAbandoned();
        removePath(at.archive);
        bridge.log(QStringLiteral("Creating ZIP on Desktop..."));
        platform.archive->zipFolderKeepingParent(at.work, at.archive);
        bridge.log(QStringLiteral("ZIP created successfully: ") + at.archive);

        removeQuietly(at.work);
        toolsTemp.reset();
        bridge.log(QStringLiteral("Temporary Desktop folder removed after ZIP creation."));

        bridge.onMainThread([&at, &platform](CollectorModel& model) {
            model.setLastZipURL(at.archive);
            model.setRunning(false);
            platform.desktop->playSound(SoundCue::Success);
            emit model.collectionFinished(true);
        });
        return;
    } catch (const std::exception& error) {
        toolsTemp.reset();
        bridge.log(QStringLiteral("ERROR: ") + describeError(error));
    } catch (...) {
        toolsTemp.reset();
        bridge.log(QStringLiteral("ERROR: An unexpected error ended the collection."));
    }
    bridge.onMainThread([&platform](CollectorModel& model) {
        model.setRunning(false);
        platform.desktop->playSound(SoundCue::Failure);
        emit model.collectionFinished(false);
    });
}

} // namespace velkor
