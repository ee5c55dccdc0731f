#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>

using namespace velkor;

TEST(SingleInstance, ALaterCopyAsksTheFirstToShowItsWindow)
{
    QTemporaryDir folder;
    SingleInstance first(folder.path());
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    int requests = 0;
    QObject::connect(&first, &SingleInstance::showRequested, [&] { ++requests; });

    for (int copy = 1; copy <= 2; ++copy) {
        SingleInstance later(folder.path());
        EXPECT_EQ(later.claim(), SingleInstance::Claim::OtherShown);
        EXPECT_TRUE(QTest::qWaitFor([&] { return requests == copy; }, 5000)) << copy;
    }
}

TEST(SingleInstance, AFolderWhereNoLockCanBeMadeDoesNotKeepTheProgramFromStarting)
{
    SingleInstance lonely("/nonexistent/velkor");
    EXPECT_EQ(lonely.claim(), SingleInstance::Claim::First);
}

// The program itself: a copy killed without a chance to clean up leaves its lock file and
// socket behind, and the next start still opens its window; a start after that does not.
TEST(SingleInstance, AKilledCopyDoesNotBlockTheNextStartWhichThenKeepsOthersOut)
{
    QTemporaryDir root;
    QDir(root.path()).mkpath("home/Desktop");
    QDir(root.path()).mkdir("run");
    QFile::setPermissions(root.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", root.filePath("home"));
    environment.insert("XDG_RUNTIME_DIR", root.filePath("run"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    const auto start = [&](QProcess& copy) {
        copy.setProcessEnvironment(environment);
        copy.start(VELKOR_PROGRAM, QStringList());
        return copy.waitForStarted(5000);
    };
    const QString socket = root.filePath("run/velkor.socket");

    QProcess crashed;
    ASSERT_TRUE(start(crashed));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(socket); }, 20000));
    ::kill(pid_t(crashed.processId()), SIGKILL);
    ASSERT_TRUE(crashed.waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(root.filePath("run/velkor.lock")));

    QProcess next;
    ASSERT_TRUE(start(next));
    EXPECT_FALSE(next.waitForFinished(5000)) << next.readAllStandardError().toStdString();

    QProcess another;
    ASSERT_TRUE(start(another));
    ASSERT_TRUE(another.waitForFinished(20000));
    EXPECT_EQ(another.exitCode(), 0);
    // The copy that took over listens: the request to show its window reached it.
    const QByteArray said = another.readAllStandardError();
    EXPECT_TRUE(said.contains("Velkor is already open; its window was brought to the front.")) << said.toStdString();
    EXPECT_EQ(next.state(), QProcess::Running);

    next.terminate();
    EXPECT_TRUE(next.waitForFinished(10000));
}
