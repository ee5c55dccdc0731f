#include "steps/StepContext.h"

#include "steps/PackageLayout.h"

#include <QDir>
#include <unistd.h>

namespace velkor {

QString toolsTemporaryFolder(const Platform& platform)
{
    const QString temporary = platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : platform.temporaryDirectory;
    return temporary + QLatin1Char('/') + package::toolsTempPrefix + QString::number(::getpid());
}

} // namespace velkor
