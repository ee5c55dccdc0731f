#include "steps/StepContext.h"


namespace velkor {

std::shared_ptr<const PrivilegedFacts> StepContext::privileged() const
{
    if (platform.privilegedFacts)
        return platform.privilegedFacts->current();
    return PrivilegedFactsStore().current();
}

} // namespace velkor
