#include "app/MainWindow.h"

#include "app/AppMenus.h"
#include "app/RunPresenter.h"
#include "collector/CollectorModel.h"

#include <QDir>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

namespace velkor {

QString infoPlistPath(const AppBundle& bundle)
{
    return bundle.bundlePath + QStringLiteral("/Contents/Info.plist");
}

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, CollectorModel& collector, AppMenus& menus)
{
    auto* presenter = new RunPresenter(collector, QDir::homePath(), &engine);
    engine.setInitialProperties({{QStringLiteral("collector"), QVariant::fromValue(&collector)},
                                 {QStringLiteral("menus"), QVariant::fromValue(&menus)},
                                 {QStringLiteral("presenter"), QVariant::fromValue(presenter)}});
    // The window's files import their own module (for its shared Theme), which lives in the resources.
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.load(QUrl(QStringLiteral("qrc:/Velkor/qml/Main.qml")));
    const QList<QObject*> roots = engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.constFirst());
}

} // namespace velkor
