// Whom the program works for when it is started as root: the user behind sudo or pkexec.
#include "platform/linux/StartingUser.h"
#include "process/ProcessRunner.h"

#include <QDir>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkor;

// What a child (the switch cannot be undone) finds after settleStartingUser() with umask 077, as
// root or the given user, with `environment` in place of any sudo or pkexec record; its note last.
static QString settleInChild(const std::map<const char*, QByteArray>& environment, uid_t uid = 0, gid_t gid = 0)
{
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::unsetenv("SUDO_UID");
        ::unsetenv("PKEXEC_UID");
        if (uid != 0 && (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0))
            ::_exit(2);
        for (const auto& [name, value] : environment)
            ::setenv(name, value.constData(), 1);
        ::umask(077);
        const QString note = settleStartingUser();
        gid_t groups[64];
        const int count = std::max(::getgroups(64, groups), 0);
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QString facts = QString("ids=%1 %2 %3 %4 rootgroup=%5 ").arg(::getuid()).arg(::geteuid()).arg(::getgid()).arg(::getegid())
                            .arg(std::find(groups, groups + count, 0) != groups + count);
        facts += QString("regainsroot=%1 home=%2 cwd=%3 ").arg(::setuid(0) == 0).arg(QDir::homePath(), QDir::currentPath());
        facts += "desktop=" + desktop + " runtime=" + qEnvironmentVariable("XDG_RUNTIME_DIR") + " note=" + note;
        ::_exit(::write(channel[1], facts.toUtf8().constData(), size_t(facts.toUtf8().size())) > 0 ? 0 : 1);
    }
    ::close(channel[1]);
    QFile received;
    received.open(channel[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QString facts = QString::fromUtf8(received.readAll());
    ::waitpid(child, nullptr, 0);
    return facts;
}

// useradd and userdel refuse while another holds the account files' lock, as parallel tests do.
static bool runAccountTool(const QString& tool, const QStringList& arguments)
{
    for (int attempt = 0; attempt < 20; ++attempt, ::usleep(200 * 1000))
        if (runProcessRaw(tool, arguments, std::nullopt, 30).exitStatus == 0)
            return true;
    return false;
}


// The invoker is read from sudo's or pkexec's record only for a root process; through sudo the
// program becomes that user for good; root without a known invoker stays root and says so.
TEST(StartingUser, BecomesTheInvokingUserForGoodOrStaysRootAndSaysSo)
{
    const struct { uid_t euid; const char* sudo; const char* pkexec; const char* user; } cases[] = {
        {1000, "1001", nullptr, "none"}, {0, nullptr, nullptr, "none"}, {0, "0", nullptr, "none"}, {0, "1000", nullptr, "1000 sudo"},
        {0, nullptr, "1001", "1001 pkexec"}, {0, "1000", "1001", "1001 pkexec"}, {0, "", nullptr, "none"}, {0, "12a", nullptr, "none"},
        {0, "-5", nullptr, "none"}, {0, " 1000", nullptr, "none"}, {0, "4294967295", nullptr, "none"}, {0, "99999999999", nullptr, "none"},
        {0, "1000", "x", "none"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.euid) + " SUDO_UID " + (c.sudo ? c.sudo : "unset") + " PKEXEC_UID " + (c.pkexec ? c.pkexec : "unset"));
        const auto user = invokingUser(c.euid, [&](const char* name) -> std::optional<QByteArray> {
            const char* value = std::string(name) == "SUDO_UID" ? c.sudo : c.pkexec;
            return value ? std::optional<QByteArray>(value) : std::nullopt;
        });
        EXPECT_EQ(user ? QString("%1 %2").arg(user->uid).arg(user->launcher) : "none", c.user);
    }
    if (::geteuid() != 0 || !QFileInfo(QStringLiteral("/usr/sbin/useradd")).isExecutable())
        GTEST_SKIP() << "needs root and useradd";
    const QTemporaryDir home; // private to the new user
    const QString name = QStringLiteral("velkortest%1").arg(::getpid());
    ASSERT_TRUE(runAccountTool("/usr/sbin/useradd", {"-M", "-d", home.path(), "-s", "/usr/sbin/nologin", name}));
    const auto removeUser = qScopeGuard([&] { runAccountTool("/usr/sbin/userdel", {name}); });
    const passwd* account = ::getpwnam(name.toUtf8().constData());
    ASSERT_NE(account, nullptr);
    const uid_t uid = account->pw_uid, gid = account->pw_gid;
    ASSERT_EQ(::chown(QFile::encodeName(home.path()).constData(), uid, gid), 0);

    const QString ids = QString("ids=%1 %1 %2 %2 rootgroup=0 regainsroot=0 home=").arg(uid).arg(gid);
    const QString facts = settleInChild({{"SUDO_UID", QByteArray::number(uid)}, {"HOME", "/root"}, {"XDG_RUNTIME_DIR", "/run/user/0"},
                                         {"XDG_CONFIG_HOME", "/root/.config"}});
    EXPECT_EQ(facts.section(" note=", 0, 0), ids + QString("%1 cwd=%1 desktop=%1/Desktop runtime=").arg(home.path())); // root's runtime not kept
    EXPECT_TRUE(facts.section(" note=", 1).contains("through sudo by " + name)) << facts.toStdString();
    // An ordinary user who inherited sudo's record from some earlier step is left as is, without a note.
    const QString ordinary = settleInChild({{"SUDO_UID", "1"}, {"HOME", home.path().toUtf8()}}, uid, gid);
    EXPECT_TRUE(ordinary.startsWith(ids) && ordinary.endsWith(" note=")) << ordinary.toStdString();

    // A user number nobody has, then no record of sudo or pkexec at all: root stays root.
    const QTemporaryDir rootHome;
    for (const char* sudo : {"3999999999", ""}) {
        const QString root = settleInChild({{"SUDO_UID", sudo}, {"HOME", rootHome.path().toUtf8()}});
        EXPECT_TRUE(root.startsWith("ids=0 0 0 0 ") && root.section(" note=", 1).contains("root's Desktop"))
            << root.toStdString();
    }
}
