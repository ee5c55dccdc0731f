// Whom the program works for when it is started as root: the user behind sudo or pkexec.
#include "platform/linux/StartingUser.h"
#include "process/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velkor;

namespace {

using Environment = std::map<std::string, std::string>;

struct InvokerCase {
    uid_t effectiveUid;
    Environment environment;
    std::optional<uid_t> expectedUid;
    const char* expectedLauncher;
};

} // namespace

TEST(InvokingUser, IsReadFromSudoOrPkexecOnlyForARootProcess)
{
    const std::vector<InvokerCase> cases = {
        {1000, {{"SUDO_UID", "1001"}}, std::nullopt, ""},
        {0, {}, std::nullopt, ""},
        {0, {{"SUDO_UID", "0"}}, std::nullopt, ""},
        {0, {{"SUDO_UID", "1000"}}, 1000, "sudo"},
        {0, {{"PKEXEC_UID", "1001"}}, 1001, "pkexec"},
        {0, {{"PKEXEC_UID", "1001"}, {"SUDO_UID", "1000"}}, 1001, "pkexec"},
        {0, {{"SUDO_UID", ""}}, std::nullopt, ""},
        {0, {{"SUDO_UID", "12a"}}, std::nullopt, ""},
        {0, {{"SUDO_UID", "-5"}}, std::nullopt, ""},
        {0, {{"SUDO_UID", " 1000"}}, std::nullopt, ""},
        {0, {{"SUDO_UID", "4294967295"}}, std::nullopt, ""},
        {0, {{"SUDO_UID", "99999999999"}}, std::nullopt, ""},
        {0, {{"PKEXEC_UID", "x"}, {"SUDO_UID", "1000"}}, std::nullopt, ""},
    };
    for (const InvokerCase& c : cases) {
        const auto lookup = [&c](const char* name) -> std::optional<QByteArray> {
            const auto found = c.environment.find(name);
            return found == c.environment.end() ? std::nullopt : std::optional<QByteArray>(found->second.c_str());
        };
        const std::optional<InvokingUser> user = invokingUser(c.effectiveUid, lookup);
        const std::string label = "euid " + std::to_string(c.effectiveUid) + ", SUDO_UID "
            + (c.environment.count("SUDO_UID") ? c.environment.at("SUDO_UID") : "unset") + ", PKEXEC_UID "
            + (c.environment.count("PKEXEC_UID") ? c.environment.at("PKEXEC_UID") : "unset");
        ASSERT_EQ(user.has_value(), c.expectedUid.has_value()) << label;
        if (user) {
            EXPECT_EQ(user->uid, *c.expectedUid) << label;
            EXPECT_EQ(user->launcher, QString::fromLatin1(c.expectedLauncher)) << label;
        }
    }
}

namespace {

// useradd and userdel refuse at once while another one holds the account files' lock, as
// tests running side by side do.
void runAccountTool(const QString& tool, const QStringList& arguments)
{
    for (int attempt = 0;; ++attempt) {
        const ProcessOutcome outcome = runProcessRaw(tool, arguments, std::nullopt, 30);
        if (outcome.exitStatus == 0)
            return;
        if (attempt == 20)
            throw std::runtime_error(tool.toStdString() + " failed: " + outcome.output.toStdString());
        ::usleep(200 * 1000);
    }
}

// A login made for one test and removed after it, with a private home.
class TemporaryUser {
public:
    TemporaryUser()
        : m_name(QStringLiteral("velkortest%1").arg(::getpid()))
    {
        runAccountTool(QStringLiteral("/usr/sbin/useradd"),
                       {QStringLiteral("-M"), QStringLiteral("-d"), home(), QStringLiteral("-s"), QStringLiteral("/usr/sbin/nologin"), m_name});
        const QString id = runProcess(QStringLiteral("/usr/bin/id"), {QStringLiteral("-u"), m_name}, std::nullopt, 10).trimmed();
        m_uid = uid_t(id.toUInt());
        const QString gid = runProcess(QStringLiteral("/usr/bin/id"), {QStringLiteral("-g"), m_name}, std::nullopt, 10).trimmed();
        m_gid = gid_t(gid.toUInt());
        const QByteArray path = QFile::encodeName(home());
        if (::chown(path.constData(), m_uid, m_gid) != 0 || ::chmod(path.constData(), 0700) != 0)
            throw std::runtime_error("cannot hand the home folder to the test user");
    }
    ~TemporaryUser()
    {
        try {
            runAccountTool(QStringLiteral("/usr/sbin/userdel"), {m_name});
        } catch (const std::exception&) {
        }
    }
    QString name() const { return m_name; }
    QString home() const { return m_home.path(); }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }

private:
    QString m_name;
    QTemporaryDir m_home;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

struct Identity {
    uid_t uid;
    gid_t gid;
};

// Runs settleStartingUser() in a child process (the switch cannot be undone) with `environment`
// in place of any sudo or pkexec record, first as `startAs` when given, and returns what the
// child found afterwards.
std::map<std::string, std::string> settleInChild(const Environment& environment, std::optional<Identity> startAs = std::nullopt)
{
    int channel[2];
    if (::pipe(channel) != 0)
        throw std::runtime_error("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        ::unsetenv("SUDO_UID");
        ::unsetenv("PKEXEC_UID");
        if (startAs && (::setgroups(1, &startAs->gid) != 0 || ::setresgid(startAs->gid, startAs->gid, startAs->gid) != 0
                        || ::setresuid(startAs->uid, startAs->uid, startAs->uid) != 0))
            ::_exit(2);
        for (const auto& [name, value] : environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        ::umask(077);
        QString facts = QStringLiteral("note=") + settleStartingUser() + QLatin1Char('\n');
        gid_t groups[64];
        const int groupCount = ::getgroups(64, groups);
        bool rootGroup = false;
        for (int i = 0; i < groupCount; ++i)
            rootGroup = rootGroup || groups[i] == 0;
        const bool regainsRoot = ::setuid(0) == 0;
        facts += QStringLiteral("uid=%1\neuid=%2\ngid=%3\negid=%4\nrootgroup=%5\nregainsroot=%6\n")
                     .arg(::getuid()).arg(::geteuid()).arg(::getgid()).arg(::getegid()).arg(rootGroup).arg(regainsRoot);
        facts += QStringLiteral("home=") + QDir::homePath() + QStringLiteral("\ncwd=") + QDir::currentPath() + QLatin1Char('\n');
        facts += QStringLiteral("runtime=") + qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('\n');
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        facts += QStringLiteral("desktop=") + desktop + QLatin1Char('\n');
        QDir().mkpath(desktop);
        QFile archive(desktop + QStringLiteral("/SendToZantro.zip"));
        if (archive.open(QIODevice::WriteOnly) && archive.write("zip") == 3) {
            archive.close();
            struct stat info {};
            ::stat(QFile::encodeName(archive.fileName()).constData(), &info);
            facts += QStringLiteral("archiveowner=%1\n").arg(info.st_uid);
        }
        const QByteArray bytes = facts.toUtf8();
        const bool sent = ::write(channel[1], bytes.constData(), size_t(bytes.size())) == bytes.size();
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    QByteArray received;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(channel[0], buffer, sizeof buffer)) > 0)
        received.append(buffer, count);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::map<std::string, std::string> facts;
    for (const QByteArray& line : received.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            facts[line.left(equals).toStdString()] = line.mid(equals + 1).toStdString();
    }
    facts["status"] = std::to_string(status);
    return facts;
}

bool canMakeUsers()
{
    return ::geteuid() == 0 && QFileInfo(QStringLiteral("/usr/sbin/useradd")).isExecutable();
}

} // namespace

TEST(StartingUser, ThroughSudoTheProgramBecomesThatUserAndAnOrdinaryUserStaysAsIs)
{
    if (!canMakeUsers())
        GTEST_SKIP() << "needs root and useradd";
    const TemporaryUser user;
    auto facts = settleInChild({{"SUDO_UID", std::to_string(user.uid())}, {"HOME", "/root"}, {"XDG_RUNTIME_DIR", "/run/user/0"},
                                {"XDG_CONFIG_HOME", "/root/.config"}});

    ASSERT_EQ(facts["status"], "0");
    const std::string uid = std::to_string(user.uid());
    const std::string gid = std::to_string(user.gid());
    EXPECT_EQ(facts["uid"], uid);
    EXPECT_EQ(facts["euid"], uid);
    EXPECT_EQ(facts["gid"], gid);
    EXPECT_EQ(facts["egid"], gid);
    EXPECT_EQ(facts["rootgroup"], "0");
    EXPECT_EQ(facts["regainsroot"], "0");
    EXPECT_EQ(facts["home"], user.home().toStdString());
    EXPECT_EQ(facts["cwd"], user.home().toStdString());
    EXPECT_EQ(facts["runtime"], "") << "root's runtime folder must not be kept";
    EXPECT_EQ(facts["desktop"], (user.home() + "/Desktop").toStdString());
    EXPECT_EQ(facts["archiveowner"], uid);
    EXPECT_NE(facts["note"].find("through sudo by " + user.name().toStdString()), std::string::npos) << facts["note"];

    // An ordinary user who inherited sudo's record from some earlier step is left as is, without a note.
    facts = settleInChild({{"SUDO_UID", "1"}, {"HOME", user.home().toStdString()}}, Identity{user.uid(), user.gid()});
    ASSERT_EQ(facts["status"], "0");
    EXPECT_EQ(facts["euid"], uid);
    EXPECT_EQ(facts["note"], "");
    EXPECT_EQ(facts["archiveowner"], uid);
}

TEST(StartingUser, RootWithoutAKnownInvokerStaysRootAndSaysWhereTheArchiveGoes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const QTemporaryDir home;
    // A user number nobody has, then no record of sudo or pkexec at all.
    for (Environment environment : {Environment{{"SUDO_UID", "3999999999"}}, Environment{}}) {
        environment["HOME"] = home.path().toStdString();
        auto facts = settleInChild(environment);
        ASSERT_EQ(facts["status"], "0");
        EXPECT_EQ(facts["euid"], "0");
        EXPECT_NE(facts["note"].find("root's Desktop"), std::string::npos) << facts["note"];
        EXPECT_EQ(facts["archiveowner"], "0");
    }
}
