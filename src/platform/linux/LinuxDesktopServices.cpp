#include "platform/linux/LinuxDesktopServices.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace velkor {
namespace {

// Opens the folder with the desktop's default handler. The handler's exit status tells whether
// anything opened; a handler that keeps running in the foreground is left to run.
void openFolder(const QString& opener, const QString& folder, const std::function<void(const QString&)>& unanswered)
{
    const QString advice = QStringLiteral("No file manager could show the archive. Open this folder to find it: ") + folder;
    auto* process = new QProcess;
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, [process, advice, unanswered](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0)
            unanswered(advice);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, advice, unanswered](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        unanswered(advice);
        process->deleteLater();
    });
    process->start(opener, {folder});
}

} // namespace

LinuxDesktopServices::LinuxDesktopServices(QDBusConnection bus, QString folderOpener, QString startNote)
    : m_bus(std::move(bus)), m_folderOpener(std::move(folderOpener)), m_startNote(std::move(startNote))
{
}

QString LinuxDesktopServices::desktopPath() const
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.isEmpty())
        return desktop;
    return QDir::homePath() + QStringLiteral("/Desktop");
}

void LinuxDesktopServices::revealFile(const QString& path, std::function<void(const QString&)> unanswered)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!m_bus.isConnected()) {
        openFolder(m_folderOpener, folder, unanswered);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, opener = m_folderOpener, folder, unanswered](QDBusPendingCallWatcher*) {
                         // No file manager answers the call: open the folder that holds the file instead.
                         if (watcher->isError())
                             openFolder(opener, folder, unanswered);
                         watcher->deleteLater();
                     });
}

void LinuxDesktopServices::openUrl(const QString& url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (parsed.isValid())
        QDesktopServices::openUrl(parsed);
}

void LinuxDesktopServices::playSound(SoundCue cue)
{
    const QString name = cue == SoundCue::Success ? QStringLiteral("complete") : QStringLiteral("dialog-error");
    const QString file = QStringLiteral("/usr/share/sounds/freedesktop/stereo/") + name + QStringLiteral(".oga");
    if (!QFileInfo::exists(file))
        return;
    for (const QString& player : {QStringLiteral("paplay"), QStringLiteral("pw-play"), QStringLiteral("ogg123")}) {
        const QString program = QStandardPaths::findExecutable(player);
        if (!program.isEmpty()) {
            QProcess::startDetached(program, {file});
            return;
        }
    }
}

void LinuxDesktopServices::notify(const QString& summary, const QString& body)
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    call << QStringLiteral("Velkor") << uint(0) << QStringLiteral("velkor") << summary << body << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("velkor")}} << int(-1);
    // Without a notification server the bus answers with an error, which is of no interest.
    m_bus.asyncCall(call);
}

} // namespace velkor
