#include "app/StandardSteps.h"

#include "base/CollectorError.h"
#include "platform/PropertyListService.h"

#include "acpi/PrivilegedExtraction.h"
#include "audit/PrivacyAudit.h"
#include "dumps/CPUFriendDump.h"
#include "dumps/DumpSteps.h"
#include "dumps/SystemReports.h"
#include "ioreg/RegistryTextDump.h"
#include "kext/PortwrightKext.h"
#include "privacy/Sanitizer.h"
#include "kext/USBControllerReports.h"

#include <memory>

namespace velkor {
namespace {

// The folder masking over the work folder, with the platform's property lists.
void sanitizeWorkFolder(StepContext& context, const QString& work)
{
    if (!context.platform.propertyLists)
        throw CollectorError::operationFailed(QStringLiteral("No property-list service to convert property lists with."));
    FolderSanitizing sanitized = sanitizeDirectory(*context.platform.propertyLists, work);
    for (const QString& removed : sanitized.removed)
        context.log.log(unmaskableFileWarning(removed));
    for (MachineIdentifier& identifier : sanitized.configuredIdentifiers)
        context.configuredIdentifiers->push_back(std::move(identifier));
}

} // namespace

CollectionSteps standardCollectionSteps()
{
    CollectionSteps steps;
    steps.extractACPIWithValidation = extractACPIWithValidation;
    steps.collectSweepkitStyleDumps = [](StepContext& context, const QString& work, const QString& logsDir) {
        collectSweepkitStyleDumps(context, work, logsDir, DumpReportWriters{writePCIUSBControllersReport, writeUSBPowerReport});
    };
    steps.collectCPUFriendDump = collectCPUFriendDump;
    steps.writeFallbackIORegText = writeFallbackIORegTextStep;
    steps.generatePortwrightKext = generatePortwrightKext;
    steps.writeSystemInfo = writeSystemInfo;
    steps.sanitizeDirectory = sanitizeWorkFolder;

    // The audit and the run-log writer share what the audit found.
    auto auditState = std::make_shared<PrivacyAuditState>();
    steps.auditPrivacy = [auditState](StepContext& context, const QString& work) { auditPrivacyStep(context, work, *auditState); };
    steps.maskCollectorLog = [auditState](const QString& maskedLog) { return maskCollectorLogIdentifiers(maskedLog, *auditState); };
    return steps;
}

} // namespace velkor
