#include "steps/StepContext.h"

#include "steps/PackageLayout.h"

#include <QDir>
#include <unistd.h>

namespace velkor {

std::shared_ptr<const PrivilegedFacts> StepContext::privileged() const
{
    if (platform.privilegedFacts)
        return platform.privilegedFacts->current();
    return PrivilegedFactsStore().current();
}

QString toolsTemporaryFolder(const Platform& platform)
{
    const QString temporary = platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : platform.temporaryDirectory;
    return temporary + QLatin1Char('/') + package::toolsTempPrefix + QString::number(::getpid());
}

} // namespace velkor
