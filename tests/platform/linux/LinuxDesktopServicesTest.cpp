#include "platform/linux/LinuxDesktopServices.h"
#include "support/TestFiles.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

// What the desktop's file manager and notification server (below) were asked to show.
static QStringList shown;

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown.append(uris); }
};

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body, const QStringList&, const QVariantMap&, int)
    {
        return shown.append(summary + '|' + body), 1;
    }
};

// On a private session bus: the file manager, else the folder's default handler, else the log's advice.
TEST(LinuxDesktopServices, RevealingAndNotifyingGoThroughTheDesktopOrTheLogSaysWhereToLook)
{
    QProcess bus; // ended when it goes
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(bus.waitForStarted(5000) && QTest::qWaitFor([&] { return bus.canReadLine(); }, 5000))
        << "dbus-daemon: scripts/install-dependencies.sh";
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    QTemporaryDir dir;
    QStringList advice;
    const auto revealWith = [&](const QString& opener, const QString& archive) {
        advice.clear();
        LinuxDesktopServices(QDBusConnection::connectToBus(address, "program"), opener)
            .revealFile(archive, [&](const QString& line) { advice.append(line); });
    };

    const QString folder = dir.filePath(QString::fromUtf8("Schreibtisch é"));
    revealWith(writeScript(dir.filePath("open folder"), "printf '%s' \"$1\" > '" + dir.filePath("opened") + "'"), folder + "/SendToZantro.zip");
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(dir.filePath("opened")); }, 5000));
    EXPECT_EQ(readText(dir.filePath("opened")), folder);
    for (const QString& opener : {writeScript(dir.filePath("xdg-open"), "exit 3"), dir.filePath("missing-opener")}) {
        revealWith(opener, folder + "/SendToZantro.zip");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !advice.isEmpty(); }, 5000)) << opener.toStdString();
        EXPECT_EQ(advice, QStringList{"No file manager could show the archive. Open this folder to find it: " + folder});
    }

    FakeFileManager fileManager;
    FakeNotifications server;
    QDBusConnection desktop = QDBusConnection::connectToBus(address, "desktop");
    ASSERT_TRUE(desktop.registerObject("/org/freedesktop/FileManager1", &fileManager, QDBusConnection::ExportAllSlots)
                && desktop.registerObject("/org/freedesktop/Notifications", &server, QDBusConnection::ExportAllSlots)
                && desktop.registerService("org.freedesktop.FileManager1") && desktop.registerService("org.freedesktop.Notifications"));
    // The file manager answers on this very thread, so a call that waited could not be served.
    const QString archive = dir.filePath(QString::fromUtf8("Bür o's/SendToZantro.zip"));
    QElapsedTimer clock;
    clock.start();
    revealWith("/bin/false", archive);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty(); }, 5000));
    LinuxDesktopServices(QDBusConnection::connectToBus(address, "program"), "/bin/false")
        .notify("SendToZantro.zip is ready", "~/Desktop/SendToZantro.zip");
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }, 5000));
    EXPECT_EQ(shown, QStringList({QUrl::fromLocalFile(archive).toString(), "SendToZantro.zip is ready|~/Desktop/SendToZantro.zip"}));
    EXPECT_TRUE(advice.isEmpty());
}

#include "LinuxDesktopServicesTest.moc"
