#pragma once

#include "steps/StepContext.h"

namespace velkor {

// The real steps of the program, in the order a run calls them.
CollectionSteps standardCollectionSteps();

} // namespace velkor
