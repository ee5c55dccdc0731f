#include "collector/CollectorModel.h"
#include "platform/Platform.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

#include <cstdio>

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
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    velkor::CollectorModel model(velkor::makeLinuxPlatform(QCoreApplication::applicationDirPath()),
                                 velkor::standardCollectionSteps());

    QQmlApplicationEngine engine;
    engine.setInitialProperties({{QStringLiteral("collector"), QVariant::fromValue(&model)}});
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreationFailed, &app, [] { QCoreApplication::exit(1); },
                     Qt::QueuedConnection);
    engine.load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    return QGuiApplication::exec();
}
