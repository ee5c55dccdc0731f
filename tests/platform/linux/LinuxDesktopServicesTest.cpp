#include "platform/linux/LinuxDesktopServices.h"
#include "support/TestFiles.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

// A notification server of the desktop, as the session bus offers it.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList shown; // "summary|body"

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap&, int)
    {
        shown.append(summary + '|' + body);
        return 1;
    }
};

// A file manager that shows files when asked.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList shown;

public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown.append(uris); }
};

// A private session bus with a desktop that offers what each test registers on it.
class LinuxDesktopServicesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(bus.waitForStarted(5000)) << "dbus-daemon is missing; scripts/install-dependencies.sh installs it";
        ASSERT_TRUE(QTest::qWaitFor([&] { return bus.canReadLine(); }, 5000));
        address = QString::fromUtf8(bus.readLine()).trimmed();
        desktop = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "desktop"));
        ASSERT_TRUE(desktop->isConnected());
    }
    void TearDown() override
    {
        QDBusConnection::disconnectFromBus("desktop");
        QDBusConnection::disconnectFromBus("program");
        bus.kill();
        bus.waitForFinished();
    }
    void offer(const QString& service, const QString& path, QObject* object)
    {
        ASSERT_TRUE(desktop->registerObject(path, object, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(desktop->registerService(service));
    }
    LinuxDesktopServices services(const QString& folderOpener = "/bin/false")
    {
        return LinuxDesktopServices(QDBusConnection::connectToBus(address, "program"), folderOpener);
    }

    QProcess bus;
    QString address;
    std::unique_ptr<QDBusConnection> desktop;
    QTemporaryDir dir;
    QStringList advice;
    std::function<void(const QString&)> record = [this](const QString& line) { advice.append(line); };
};

} // namespace

TEST_F(LinuxDesktopServicesTest, ANotificationReachesTheDesktopsNotificationServer)
{
    FakeNotifications server;
    offer("org.freedesktop.Notifications", "/org/freedesktop/Notifications", &server);
    LinuxDesktopServices program = services();
    program.notify("SendToZantro.zip is ready", "~/Desktop/SendToZantro.zip");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !server.shown.isEmpty(); }, 5000));
    EXPECT_EQ(server.shown, QStringList{"SendToZantro.zip is ready|~/Desktop/SendToZantro.zip"});
}

TEST_F(LinuxDesktopServicesTest, RevealingAsksTheFileManagerAndDoesNotWaitForItsAnswer)
{
    FakeFileManager fileManager;
    offer("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", &fileManager);
    LinuxDesktopServices program = services();
    const QString archive = dir.filePath(QString::fromUtf8("Bür o's/SendToZantro.zip"));

    // The file manager answers on this very thread, so a call that waited could not be served.
    QElapsedTimer clock;
    clock.start();
    program.revealFile(archive, record);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(fileManager.shown.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fileManager.shown.isEmpty(); }, 5000));
    EXPECT_EQ(fileManager.shown, QStringList{QUrl::fromLocalFile(archive).toString()});
    QTest::qWait(100);
    EXPECT_TRUE(advice.isEmpty());
}

TEST_F(LinuxDesktopServicesTest, WithoutAFileManagerTheFolderOpensWithTheDefaultHandlerOrTheLogNamesIt)
{
    const QString opened = dir.filePath("opened");
    const QString opener = writeScript(dir.filePath("open folder"), "printf '%s' \"$1\" > '" + opened + "'");
    LinuxDesktopServices program = services(opener);
    const QString folder = dir.filePath(QString::fromUtf8("Schreibtisch é"));
    program.revealFile(folder + "/SendToZantro.zip", record);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(opened); }, 5000));
    EXPECT_EQ(readText(opened), folder);
    QTest::qWait(100);
    EXPECT_TRUE(advice.isEmpty());

    // When nothing opens the folder, the log's advice names it.
    const QString expected = "No file manager could show the archive. Open this folder to find it: " + folder;
    const QString failing = writeScript(dir.filePath("xdg-open"), "exit 3");
    for (const QString& opener : {failing, dir.filePath("missing-opener")}) {
        advice.clear();
        LinuxDesktopServices program = services(opener);
        program.revealFile(folder + "/SendToZantro.zip", record);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !advice.isEmpty(); }, 5000)) << opener.toStdString();
        EXPECT_EQ(advice, QStringList{expected}) << opener.toStdString();
    }
}

#include "LinuxDesktopServicesTest.moc"
