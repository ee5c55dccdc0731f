#pragma once

#include "platform/DesktopServices.h"

#include <utility>
#include <QDBusConnection>

namespace velkor {

// XDG Desktop folder, the freedesktop FileManager1 and Notifications interfaces on the session
// bus, the default browser and the freedesktop sound theme. Calls on the bus are asynchronous:
// a slow or absent desktop service never holds up the window.
class LinuxDesktopServices : public DesktopServices {
public:
    // The bus and the program that opens a folder with the desktop's default handler (the
    // defaults are the session bus and xdg-open); `startNote` tells how the program settled whom
    // it works for (see StartingUser.h).
    explicit LinuxDesktopServices(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QString folderOpener = QStringLiteral("xdg-open"), QString startNote = {});

    QString desktopPath() const override;
    QString desktopNote() const override { return m_startNote; }
    void revealFile(const QString& path, std::function<void(const QString&)> unanswered) override;
    void openUrl(const QString& url) override;
    void playSound(SoundCue cue) override;
    void notify(const QString& summary, const QString& body) override;

private:
    QDBusConnection m_bus;
    QString m_folderOpener;
    QString m_startNote;
};

} // namespace velkor
