#include "platform/linux/LinuxDesktopServices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace velkor {

QString LinuxDesktopServices::desktopPath() const
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.isEmpty())
        return desktop;
    return QDir::homePath() + QStringLiteral("/Desktop");
}

void LinuxDesktopServices::revealFile(const QString& path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return;
    // No file manager answers the call: open the folder that holds the file instead.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
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

} // namespace velkor
