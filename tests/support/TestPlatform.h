#pragma once

#include "collector/CollectorModel.h"
#include "platform/Platform.h"
#include "steps/StepContext.h"
#include "support/FakeDesktopServices.h"
#include "support/QtPrinters.h"
#include "support/RecordingLog.h"

#include <QTemporaryDir>
#include <memory>

namespace velkor::testing {

// A machine in a temporary folder: home with a Desktop, the application bundle in "apps",
// a private temporary folder, a recording desktop session and the real archive writer.
struct TestEnvironment {
    TestEnvironment();

    QString path(const QString& relative) const { return root.filePath(relative); }
    QString desktop() const { return path("home/Desktop"); }
    QString toolsFolder() const { return platform.bundle.resourcesPath + "/Tools"; }
    // Places an executable script into the bundle's Tools folder.
    QString addTool(const QString& name, const QString& body);

    QTemporaryDir root;
    std::shared_ptr<FakeDesktopServices> desktopServices;
    Platform platform;
};

// What a step runs in: the test machine, an empty work folder, a recording log and the context.
struct StepFixture {
    StepFixture();
    QString work() const { return env.path("work"); }
    // A command that runs a shell script of the given body.
    StockCommand fake(const QString& name, const QString& body) const;

    TestEnvironment env;
    RecordingLog log;
    StepContext ctx{log, env.platform};
};

// Processes events until the model's run has ended; false on time-out.
bool waitForRunToEnd(CollectorModel& model, int timeoutMs = 60000);

// The log lines without their "[HH:mm:ss] " stamps.
QStringList logMessages(const QString& logText);

} // namespace velkor::testing
