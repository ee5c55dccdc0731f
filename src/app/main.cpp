#include "app/AppMenus.h"
#include "app/StandardSteps.h"
#include "app/MainWindow.h"
#include "collector/CollectorModel.h"
#include "platform/linux/LinuxPlatform.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

bool displayAvailable()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[])
{
    if (!displayAvailable()) {
        std::fputs("Velkor needs a graphical display, and none was found (DISPLAY and WAYLAND_DISPLAY are not set).\n", stderr);
        return 1;
    }

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Velkor"));
    QGuiApplication::setOrganizationName(QStringLiteral("Velkor"));
    // Lets the desktop pair the window with velkor.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("velkor"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/velkor.png")));
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    velkor::CollectorModel model(velkor::makeLinuxPlatform(QCoreApplication::applicationDirPath()),
                                 velkor::standardCollectionSteps());
    velkor::AppMenus menus(velkor::infoPlistPath(model.platform().bundle));

    QQmlApplicationEngine engine;
    if (!velkor::loadMainWindow(engine, model, menus))
        return 1;
    const int status = QGuiApplication::exec();
    // A run still going when the window closes is stopped; its tools are ended with it. Should
    // one not end (an administrator prompt still open), the process leaves without running
    // static destructors under the worker's feet.
    if (!model.abandonRun(std::chrono::seconds(5))) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
