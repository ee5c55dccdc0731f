#include "app/MainWindow.h"

#include "app/AppMenus.h"
#include "app/RunPresenter.h"
#include "collector/CollectorModel.h"

#include <QDir>
#include <QKeyEvent>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>

namespace velkor {

QString infoPlistPath(const AppBundle& bundle)
{
    return bundle.bundlePath + QStringLiteral("/Contents/Info.plist");
}

namespace {

// A read-only text item (the log) claims every key combination while it has the focus, so a
// click into the log would leave the window's shortcuts, Quit among them, dead. It acts only on
// Copy and Select All; every other combination is left to the window's shortcuts.
class ReadOnlyTextShortcuts : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ShortcutOverride)
            return false;
        const auto* window = qobject_cast<QQuickWindow*>(watched);
        const QQuickItem* focus = window ? window->activeFocusItem() : nullptr;
        if (!focus || !focus->property("readOnly").toBool())
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll))
            return false;
        key->ignore();
        return true;
    }
};

} // namespace

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
    auto* window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.constFirst());
    if (window)
        window->installEventFilter(new ReadOnlyTextShortcuts(window));
    return window;
}

} // namespace velkor
