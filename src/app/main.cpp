#include "app/AppMenus.h"
#include "app/StandardSteps.h"
#include "app/MainWindow.h"
#include "app/SingleInstance.h"
#include "collector/CollectorModel.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/StartingUser.h"
#include "platform/DesktopServices.h"
#include "process/TerminationSignals.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

const char* const usageText =
    "Usage: velkor [--help | --version]\n"
    "\n"
    "Opens Velkor's window. Its button gathers a sanitized diagnostic package of this PC (ACPI tables,\n"
    "USB ports, power and CPU data, bootloader configuration, device-registry listings and a USB\n"
    "port-map kext made from the live hardware) and leaves it as SendToZantro.zip on the Desktop.\n"
    "Serial numbers, UUIDs, MLB, ROM and MAC addresses are masked before packing. Only the ACPI step\n"
    "asks for administrator rights.\n"
    "\n"
    "Started as root through sudo or pkexec, Velkor runs as the user who started it and writes to\n"
    "that user's Desktop.\n"
    "\n"
    "  -h, --help     print this text and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "See velkor(1); velkor-registry(1) reads a saved Mac registry.\n";

// --help and --version answer on standard output and end the program before anything else
// happens; every other argument is left to Qt.
std::optional<int> answerInformationRequest(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usageText, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("Velkor " VELKOR_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    return std::nullopt;
}

bool displayAvailable()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[])
{
    if (const std::optional<int> status = answerInformationRequest(argc, argv))
        return *status;
    const QString startNote = velkor::settleStartingUser();

    if (!displayAvailable()) {
        // pkexec hands a program no display unless its polkit action allows one.
        if (qEnvironmentVariableIsSet("PKEXEC_UID"))
            std::fputs("Velkor needs a graphical display, and pkexec passed none on: start velkor without pkexec; "
                       "it asks for administrator rights itself when the ACPI step needs them.\n", stderr);
        else
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

    velkor::Platform platform = velkor::makeLinuxPlatform(QCoreApplication::applicationDirPath(), startNote);

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

    // A terminated Velkor leaves as a closed one does, through the end of main below.
    velkor::TerminationSignals terminationSignals([](int) { QCoreApplication::quit(); });

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
