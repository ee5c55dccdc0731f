#include "app/AppMenus.h"
#include "app/MainWindow.h"
#include "app/SingleInstance.h"
#include "collector/CollectorModel.h"
#include "platform/DesktopServices.h"
#include "platform/Platform.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

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

    // The window is text, a few shapes and a small animated icon. The software scene graph
    // redraws only what changed and loads no OpenGL driver; on the PCs Velkor is for, OpenGL is
    // often Mesa's software rasteriser, which redraws the whole window on the CPU every frame.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Velkor"));
    QGuiApplication::setOrganizationName(QStringLiteral("Velkor"));
    // Lets the desktop pair the window with velkor.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("velkor"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/velkor.png")));
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    velkor::Platform platform = velkor::makeLinuxPlatform(QCoreApplication::applicationDirPath());

    // Two copies would share, and delete under each other, the one work folder on the Desktop.
    velkor::SingleInstance instance(velkor::singleInstanceFolder());
    switch (instance.claim()) {
    case velkor::SingleInstance::Claim::First:
        break;
    case velkor::SingleInstance::Claim::OtherShown:
        std::fputs("Velkor is already open; its window was brought to the front.\n", stderr);
        return 0;
    case velkor::SingleInstance::Claim::OtherUnreachable:
        std::fputs("Velkor is already open.\n", stderr);
        platform.desktop->notify(QStringLiteral("Velkor is already open"),
                                 QStringLiteral("Only one copy of Velkor runs at a time. Its window may be minimised."));
        // Lets the notification leave before the program does.
        QTimer::singleShot(std::chrono::milliseconds(500), &app, &QCoreApplication::quit);
        QGuiApplication::exec();
        return 0;
    }

    velkor::CollectorModel model(std::move(platform), velkor::standardCollectionSteps());
    velkor::AppMenus menus(velkor::infoPlistPath(model.platform().bundle));

    QQmlApplicationEngine engine;
    QQuickWindow* window = velkor::loadMainWindow(engine, model, menus);
    if (!window)
        return 1;
    QObject::connect(&instance, &velkor::SingleInstance::showRequested, window, [window] {
        if (window->visibility() == QWindow::Minimized || !window->isVisible())
            window->showNormal();
        window->raise();
        window->requestActivate();
    });
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
