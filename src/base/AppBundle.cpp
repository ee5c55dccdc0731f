#include "base/AppBundle.h"

#include <QDir>
#include <QFileInfo>

namespace velkor {

AppBundle AppBundle::atBundlePath(const QString& bundlePath, const QString& homePath)
{
    AppBundle bundle;
    bundle.bundlePath = bundlePath;
    bundle.resourcesPath = bundlePath + QStringLiteral("/Contents/Resources");
    const int slash = bundlePath.lastIndexOf(QLatin1Char('/'));
    bundle.appFolder = slash > 0 ? bundlePath.left(slash) : QStringLiteral("/");
    bundle.homePath = homePath;
    return bundle;
}

AppBundle AppBundle::forExecutableDirectory(const QString& executableDirectory, const QString& homePath)
{
    const QString cleaned = QDir::cleanPath(executableDirectory);
    if (cleaned.endsWith(QStringLiteral("/Contents/MacOS")))
        return atBundlePath(cleaned.chopped(int(QStringLiteral("/Contents/MacOS").size())), homePath);

    AppBundle bundle;
    bundle.bundlePath = cleaned;
    const int slash = cleaned.lastIndexOf(QLatin1Char('/'));
    bundle.appFolder = slash > 0 ? cleaned.left(slash) : QStringLiteral("/");
    bundle.homePath = homePath;
    return bundle;
}

} // namespace velkor
