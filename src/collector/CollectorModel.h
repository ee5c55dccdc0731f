#pragma once

#include "steps/StepContext.h"
#include "platform/Platform.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <future>
#include <memory>

namespace velkor {

struct RunBridge;

// The one observable object of the program: the run state the window shows and the run log.
// It lives on the main thread; every change of a property happens there. A run executes on
// a worker thread and hops to the main thread, waiting, for each log line and state change.
class CollectorModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString logText READ logText WRITE setLogText NOTIFY logTextChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString lastZipURL READ lastZipURL NOTIFY lastZipURLChanged)
    Q_PROPERTY(bool patchmaticFound READ patchmaticFound NOTIFY patchmaticChanged)
    Q_PROPERTY(QString patchmaticPath READ patchmaticPath NOTIFY patchmaticChanged)
    Q_PROPERTY(QString zipName READ zipName CONSTANT)
    Q_PROPERTY(QString outputLocation READ outputLocation CONSTANT)

public:
    CollectorModel(Platform platform, CollectionSteps steps, QObject* parent = nullptr);
    ~CollectorModel() override;

    QString logText() const { return m_logText; }
    void setLogText(const QString& text);
    bool isRunning() const { return m_isRunning; }
    QString lastZipURL() const { return m_lastZipURL; }
    bool patchmaticFound() const { return m_patchmaticFound; }
    QString patchmaticPath() const { return m_patchmaticPath; }
    QString zipName() const;
    // Where the archive goes, as the footer shows it: "~/Desktop/SendToZantro.zip", or the
    // whole path when the Desktop comes with a note (the program was started as root).
    QString outputLocation() const;

    Q_INVOKABLE void prepareInitialChecks();
    Q_INVOKABLE void startCollection();
    Q_INVOKABLE void openDesktopZip();
    Q_INVOKABLE void clearLog() { setLogText(QString()); }
    Q_INVOKABLE void openPayPalDonate();

    // Adds one time-stamped line: "[HH:mm:ss] message\n". Main thread only.
    void append(const QString& message);
    QString desktopURL() const;

    const Platform& platform() const { return m_platform; }

    // Ends a run that is still going when the program quits: its tools are stopped and it
    // leaves at its next step. True when no run is left after waiting at most `wait`.
    bool abandonRun(std::chrono::milliseconds wait);

    // The donation page opened by the footer button.
    static const QString donationPageAddress;

signals:
    void logTextChanged();
    void isRunningChanged();
    void lastZipURLChanged();
    void patchmaticChanged();
    // Emitted on the main thread when a run has ended, successfully or not.
    void collectionFinished(bool succeeded);

public:
    // State changes made by a run; main thread only.
    void setRunning(bool running);
    void setLastZipURL(const QString& path);
    void setPatchmatic(const std::optional<QString>& path);

private:

    Platform m_platform;
    CollectionSteps m_steps;
    QString m_logText;
    bool m_isRunning = false;
    QString m_lastZipURL;
    bool m_patchmaticFound = false;
    QString m_patchmaticPath;
    std::shared_ptr<RunBridge> m_bridge;
    std::shared_future<void> m_runFinished;
};

} // namespace velkor
