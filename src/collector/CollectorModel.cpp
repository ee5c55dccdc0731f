#include "collector/CollectorModel.h"

#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "collector/RunBridge.h"
#include "base/Timestamps.h"
#include "platform/DesktopServices.h"
#include "process/ProcessRunner.h"
#include "process/ToolLocator.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <future>
#include <thread>

namespace velkor {

const QString CollectorModel::donationPageAddress = QStringLiteral("https://www.paypal.com/donate/?hosted_button_id=VELKORDONATE");

CollectorModel::CollectorModel(Platform platform, CollectionSteps steps, QObject* parent)
    : QObject(parent), m_platform(std::move(platform)), m_steps(std::move(steps))
{
}

CollectorModel::~CollectorModel()
{
    abandonRun(std::chrono::seconds(5));
}

bool CollectorModel::abandonRun(std::chrono::milliseconds wait)
{
    if (!m_bridge)
        return true;
    m_bridge->detachModel();
    // A hop the worker posted before the detach would never run now; dropping it breaks the
    // worker's wait instead of leaving it blocked.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    return !m_runFinished.valid() || m_runFinished.wait_for(wait) == std::future_status::ready;
}

QString CollectorModel::zipName() const
{
    return package::zipName;
}

void CollectorModel::setLogText(const QString& text)
{
    if (text == m_logText)
        return;
    m_logText = text;
    emit logTextChanged();
}

void CollectorModel::setRunning(bool running)
{
    if (running == m_isRunning)
        return;
    m_isRunning = running;
    emit isRunningChanged();
}

void CollectorModel::setLastZipURL(const QString& path)
{
    if (path == m_lastZipURL)
        return;
    m_lastZipURL = path;
    emit lastZipURLChanged();
}

void CollectorModel::setPatchmatic(const std::optional<QString>& path)
{
    const bool found = path.has_value();
    const QString text = path.value_or(QString());
    if (found == m_patchmaticFound && text == m_patchmaticPath)
        return;
    m_patchmaticFound = found;
    m_patchmaticPath = text;
    emit patchmaticChanged();
}

void CollectorModel::append(const QString& message)
{
    m_logText += QLatin1Char('[') + logClockStamp() + QStringLiteral("] ") + message + QLatin1Char('\n');
    emit logTextChanged();
}

QString CollectorModel::outputLocation() const
{
    if (m_platform.desktop->desktopNote().isEmpty())
        return QStringLiteral("~/Desktop/") + zipName();
    return desktopURL() + QLatin1Char('/') + zipName();
}

QString CollectorModel::desktopURL() const
{
    return m_platform.desktop->desktopPath();
}

void CollectorModel::prepareInitialChecks()
{
    const std::optional<QString> patchmatic = ToolLocator(m_platform.bundle).findExecutable(QStringLiteral("patchmatic"));
    setPatchmatic(patchmatic);
    append(QStringLiteral("App started."));
    append(QStringLiteral("Target Desktop: ") + desktopURL());
    if (const QString note = m_platform.desktop->desktopNote(); !note.isEmpty())
        append(note + QStringLiteral(" Output: ") + outputLocation());
    if (patchmatic)
        append(QStringLiteral("patchmatic found: ") + *patchmatic);
    else
        append(QStringLiteral("patchmatic not found."));
    append(QStringLiteral("IORegistry mode: native IOKit text dump only. The app generates ioreg.txt and does not use IORegistryExplorer.app or Automation."));
    append(QStringLiteral("CPUFriend-Dump mode: embedded inside SendToZantro.zip, no separate Desktop ZIP."));
}

void CollectorModel::startCollection()
{
    if (m_isRunning)
        return;
    setRunning(true);
    setLastZipURL(QString());
    m_bridge = std::make_shared<RunBridge>(this, m_platform, m_steps);
    m_runFinished = m_bridge->finished.get_future().share();
    std::thread([bridge = m_bridge] {
        {
            const ProcessAbandonScope endToolsWhenAbandoned(bridge->abandoned);
            runCollection(*bridge);
        }
        bridge->finished.set_value();
    }).detach();
}

void CollectorModel::openDesktopZip()
{
    if (m_lastZipURL.isEmpty())
        return;
    m_platform.desktop->revealFile(m_lastZipURL, [model = QPointer<CollectorModel>(this)](const QString& advice) {
        if (model)
            model->append(advice);
    });
}

void CollectorModel::openPayPalDonate()
{
    m_platform.desktop->openUrl(donationPageAddress);
}

// --- RunBridge ---------------------------------------------------------------------------

void RunBridge::onMainThread(const std::function<void(CollectorModel&)>& work)
{
    std::future<void> done;
    {
        std::lock_guard lock(mutex);
        if (!model)
            return;
        if (QThread::currentThread() == model->thread()) {
            work(*model);
            return;
        }
        // If the model is destroyed before the posted call runs, Qt drops the call; the
        // promise then breaks and the wait below ends.
        auto promise = std::make_shared<std::promise<void>>();
        done = promise->get_future();
        QMetaObject::invokeMethod(
            model,
            [this, work, promise] {
                CollectorModel* target = nullptr;
                {
                    std::lock_guard inner(mutex);
                    target = model;
                }
                if (target)
                    work(*target);
                promise->set_value();
            },
            Qt::QueuedConnection);
    }
    done.wait();
}

void RunBridge::log(const QString& message)
{
    onMainThread([&message](CollectorModel& model) { model.append(message); });
}

void RunBridge::detachModel()
{
    std::lock_guard lock(mutex);
    model = nullptr;
    abandoned = true;
}

void RunBridge::throwIfAbandoned() const
{
    if (abandoned)
        throw CollectorError::operationFailed(QStringLiteral("The collection stopped because Velkor is quitting."));
}

} // namespace velkor
