#include "support/TestPlatform.h"

#include "platform/linux/LibplistPropertyListService.h"
#include "platform/linux/LibzipArchiveWriter.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QThread>

namespace velkor::testing {

TestEnvironment::TestEnvironment()
{
    QDir().mkpath(path("home/Desktop"));
    QDir().mkpath(path("tmp"));
    platform.bundle = AppBundle::atBundlePath(path("apps/Velkor.app"), path("home"));
    QDir().mkpath(platform.bundle.resourcesPath + "/Tools");
    platform.commands.deviceTreeListing = {"/bin/echo", {"IODeviceTree listing"}};
    desktopServices = std::make_shared<FakeDesktopServices>(desktop());
    platform.desktop = desktopServices;
    platform.archive = std::make_shared<LibzipArchiveWriter>();
    platform.propertyLists = std::make_shared<LibplistPropertyListService>();
    platform.temporaryDirectory = path("tmp");
}

QString TestEnvironment::addTool(const QString& name, const QString& body)
{
    return writeScript(toolsFolder() + "/" + name, body);
}

StepFixture::StepFixture()
{
    QDir().mkpath(work());
    // The steps that read the machine (mount table, firmware variables) read this tree.
    env.platform.machineRoot = env.path("machine");
}

StockCommand StepFixture::fake(const QString& name, const QString& body) const
{
    return {writeScript(env.path("fakes/" + name), body), {}};
}

bool waitForRunToEnd(CollectorModel& model, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (model.isRunning()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents();
    return true;
}

QStringList logMessages(const QString& logText)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] "));
    QStringList messages;
    for (QString line : logText.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        messages.append(line.remove(stamp));
    return messages;
}

} // namespace velkor::testing
