#pragma once

#include "base/AppBundle.h"

#include <QString>

class QQmlApplicationEngine;
class QQuickWindow;

namespace velkor {

class AppMenus;
class CollectorModel;

// Where a bundle keeps its version texts.
QString infoPlistPath(const AppBundle& bundle);

// Loads the window into the engine with the collector and the menus it shows, and the run's
// presenter (archive path, notifications), which the engine owns. The window calls
// prepareInitialChecks() once as it appears. Returns the window, or nullptr when the QML
// failed to load (the engine has printed why). Both objects must outlive the engine's window.
QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, CollectorModel& collector, AppMenus& menus);

} // namespace velkor
