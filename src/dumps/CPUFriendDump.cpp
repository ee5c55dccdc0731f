#include "dumps/CPUFriendDump.h"

#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "platform/PropertyListService.h"
#include "privacy/Sanitizer.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"

#include <optional>

namespace velkor {
namespace {

constexpr double kScriptTimeoutSeconds = 300;

void sanitizeFolder(StepContext& ctx, const QString& folder)
{
    if (!ctx.platform.propertyLists)
        throw CollectorError::operationFailed(QStringLiteral("No property list service to mask ") + folder);
    FolderSanitizing sanitized = sanitizeDirectory(*ctx.platform.propertyLists, folder);
    for (const QString& removed : sanitized.removed)
        ctx.log.log(unmaskableFileWarning(removed));
    for (MachineIdentifier& identifier : sanitized.configuredIdentifiers)
        ctx.configuredIdentifiers->push_back(std::move(identifier));
}

} // namespace

void collectCPUFriendDump(StepContext& ctx, const QString& work)
{
    collectCPUFriendDumpWithTimeout(ctx, work, kScriptTimeoutSeconds);
}

void collectCPUFriendDumpWithTimeout(StepContext& ctx, const QString& work, double scriptTimeoutSeconds)
{
    const QString folder = work + QLatin1Char('/') + package::cpuFriendFolder;
    removePath(folder);
    createDirectories(folder);

    const ToolLocator tools = ctx.tools();
    std::optional<QString> script = tools.findResource(QStringLiteral("CPUFriend-Dump.command"));
    if (!script)
        script = tools.findResource(QStringLiteral("CPUFriend-Dump"));
    if (!script) {
        writeTextFile(folder + QLatin1Char('/') + package::cpuFriendSkipped,
                      QStringLiteral("CPUFriend-Dump.command was not found in bundled Resources/Tools. CPUFriend diagnostics "
                                     "were skipped, but the main SendToZantro.zip generation can continue.\n"));
        ctx.log.log(QStringLiteral("WARNING: CPUFriend-Dump.command not found; CPUFriend diagnostics skipped."));
        return;
    }

    makeExecutable(*script); // bash runs it either way

    const QString runLog = folder + QLatin1Char('/') + package::cpuFriendRunLog;
    std::optional<QString> output;
    std::optional<QString> reason;
    try {
        output = runProcess(QStringLiteral("/bin/bash"), {*script, folder}, std::nullopt, scriptTimeoutSeconds);
    } catch (const std::exception& error) {
        reason = describeError(error);
    }
    if (output)
        writeTextFile(runLog, maskText(*output));
    if (reason) {
        writeTextFile(runLog, maskText(QStringLiteral("CPUFriend-Dump failed or timed out. Main Velkor collection continued "
                                                      "safely.\n\n")
                                       + *reason + QLatin1Char('\n')));
        ctx.log.log(QStringLiteral("WARNING: CPUFriend-Dump failed or timed out; partial folder kept in ZIP."));
    }
    // What the script wrote before it ended or was stopped is masked either way.
    sanitizeFolder(ctx, folder);
}

} // namespace velkor
