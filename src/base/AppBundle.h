#pragma once

#include <QString>

namespace velkor {

// Where the application sits: Velkor.app, its resource folder and the folder holding it.
struct AppBundle {
    QString bundlePath;    // .../Velkor.app
    QString resourcesPath; // .../Velkor.app/Contents/Resources, empty when the bundle has none
    QString appFolder;     // the folder that contains Velkor.app
    QString homePath;      // the user's home folder

    // The bundle of a program running from <bundle>/Contents/MacOS. A program started from
    // elsewhere (a plain build folder) has no resource folder.
    static AppBundle forExecutableDirectory(const QString& executableDirectory, const QString& homePath);

    // A bundle rooted at an explicit folder, as tests and tools lay one out.
    static AppBundle atBundlePath(const QString& bundlePath, const QString& homePath);

    QString toolsPath() const { return resourcesPath.isEmpty() ? QString() : resourcesPath + QStringLiteral("/Tools"); }
};

} // namespace velkor
