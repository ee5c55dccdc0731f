#include "app/MainWindow.h"

#include "app/AppMenus.h"
#include "collector/CollectorModel.h"

#include <QQmlApplicationEngine>
#include <QQuickWindow>

namespace velkor {

QString infoPlistPath(const AppBundle& bundle)
{
    return bundle.bundlePath + QStringLiteral("/Contents/Info.plist");
}

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, CollectorModel& collector, AppMenus& menus)
{
    engine.setInitialProperties({{QStringLiteral("collector"), QVariant::fromValue(&collector)},
                                 {QStringLiteral("menus"), QVariant::fromValue(&menus)}});
    engine.load(QUrl(QStringLiteral("qrc:/Velkor/qml/Main.qml")));
    const QList<QObject*> roots = engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.constFirst());
}

} // namespace velkor
