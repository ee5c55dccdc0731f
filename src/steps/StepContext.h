#pragma once

#include "base/LogSink.h"
#include "platform/Platform.h"
#include "platform/PrivilegedFacts.h"
#include "process/ToolLocator.h"

#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace velkor {

// What a collection step receives: where to log and the machine's services.
struct StepContext {
    LogSink& log;
    const Platform& platform;
    // The run's private temporary folder, for what must stay out of the package; empty outside a run.
    QString temporaryFolder = {};
    // Identifiers the masking found in the package's own files (the serial number and MLB a
    // bootloader configuration carries), for the privacy audit to search every file for.
    std::shared_ptr<std::vector<MachineIdentifier>> configuredIdentifiers = std::make_shared<std::vector<MachineIdentifier>>();

    ToolLocator tools() const { return ToolLocator(platform.bundle); }
    // What root handed over for this run; empty facts before the administrator step or without one.
    std::shared_ptr<const PrivilegedFacts> privileged() const;
};

// The steps of one run, in the order the pipeline calls them. A step that is not set is not
// part of the run. Tests replace steps with their own.
struct CollectionSteps {
    std::function<void(StepContext&, const QString& patchmatic, const QString& acpiDir)> extractACPIWithValidation;
    std::function<void(StepContext&, const QString& work, const QString& logsDir)> collectSweepkitStyleDumps;
    std::function<void(StepContext&, const QString& work)> collectCPUFriendDump;
    std::function<void(StepContext&, const QString& destination)> writeFallbackIORegText;
    std::function<void(StepContext&, const QString& work)> generatePortwrightKext;
    std::function<void(StepContext&, const QString& destination)> writeSystemInfo;
    std::function<void(StepContext&, const QString& work)> sanitizeDirectory;
    // Runs after the folder masking and before the run log is written.
    std::function<void(StepContext&, const QString& work)> auditPrivacy;
    // Extra masking of the run log file, after the redaction rules.
    std::function<QString(const QString& maskedLog)> maskCollectorLog;
};

} // namespace velkor
