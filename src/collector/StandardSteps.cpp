#include "collector/StepContext.h"

namespace velkor {

CollectionSteps standardCollectionSteps()
{
    CollectionSteps steps;
    return steps;
}

} // namespace velkor
