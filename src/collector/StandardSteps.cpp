#include "collector/StepContext.h"

#include "audit/PrivacyAudit.h"

#include <memory>

namespace velkor {

CollectionSteps standardCollectionSteps()
{
    CollectionSteps steps;

    // The audit and the run-log writer share what the audit found.
    auto auditState = std::make_shared<PrivacyAuditState>();
    steps.auditPrivacy = [auditState](StepContext& context, const QString& work) { auditPrivacyStep(context, work, *auditState); };
    steps.maskCollectorLog = [auditState](const QString& maskedLog) { return maskCollectorLogIdentifiers(maskedLog, *auditState); };
    return steps;
}

} // namespace velkor
