#include "platform/linux/StartingUser.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velkor {
namespace {

// A user number as sudo and pkexec write it: decimal digits only. Root and (uid_t)-1, which
// stands for "no user" in the ID calls, are no user to switch to.
std::optional<uid_t> userNumber(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    const qulonglong value = text.toULongLong();
    if (value == 0 || value >= qulonglong(uid_t(-1)))
        return std::nullopt;
    return uid_t(value);
}

struct Account {
    QByteArray name;
    uid_t uid = 0;
    gid_t gid = 0;
    QByteArray home;
};

std::optional<Account> accountOf(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int status = 0;
    while ((status = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (status != 0 || found == nullptr || found->pw_name == nullptr || found->pw_dir == nullptr)
        return std::nullopt;
    return Account{found->pw_name, found->pw_uid, found->pw_gid, found->pw_dir};
}

[[noreturn]] void stopHalfSwitched(const char* step, int error)
{
    std::fprintf(stderr, "Velkor could not finish becoming the user who started it (%s: %s) and stops.\n", step,
                 std::strerror(error));
    std::_Exit(1);
}

bool isPrivateFolderOf(const QByteArray& path, uid_t uid)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid
        && (info.st_mode & 0077) == 0;
}

// The environment a session of the user has, in place of root's. The XDG base folders fall
// back to their places in the user's home.
void takeOverEnvironment(const Account& user)
{
    ::setenv("HOME", user.home.constData(), 1);
    ::setenv("USER", user.name.constData(), 1);
    ::setenv("LOGNAME", user.name.constData(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        ::unsetenv(name);
    // The user's runtime folder holds the session bus and the display sockets.
    const QByteArray runtime = "/run/user/" + QByteArray::number(user.uid);
    if (isPrivateFolderOf(runtime, user.uid))
        ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    if (::chdir(user.home.constData()) != 0 && ::chdir("/") != 0)
        stopHalfSwitched("chdir", errno);
}

} // namespace

std::optional<InvokingUser> invokingUser(uid_t effectiveUid,
                                         const std::function<std::optional<QByteArray>(const char*)>& variable)
{
    if (effectiveUid != 0)
        return std::nullopt;
    for (const auto& [name, launcher] : {std::pair{"PKEXEC_UID", "pkexec"}, std::pair{"SUDO_UID", "sudo"}}) {
        const std::optional<QByteArray> value = variable(name);
        if (!value)
            continue;
        if (const std::optional<uid_t> uid = userNumber(*value))
            return InvokingUser{*uid, QString::fromLatin1(launcher)};
        return std::nullopt;
    }
    return std::nullopt;
}

QString settleStartingUser()
{
    const std::optional<InvokingUser> invoker = invokingUser(::geteuid(), [](const char* name) -> std::optional<QByteArray> {
        const char* value = std::getenv(name);
        return value ? std::optional<QByteArray>(value) : std::nullopt;
    });
    if (!invoker) {
        if (::geteuid() != 0)
            return {};
        return QStringLiteral("Velkor runs as root and was not started through sudo or pkexec by another user, "
                              "so the archive goes to root's Desktop.");
    }

    const std::optional<Account> user = accountOf(invoker->uid);
    if (!user) {
        return QStringLiteral("Velkor was started as root through %1 by user %2, whom this system does not know, "
                              "so it runs as root and the archive goes to root's Desktop.")
            .arg(invoker->launcher)
            .arg(invoker->uid);
    }
    const QString name = QString::fromLocal8Bit(user->name);

    // The groups first: while nothing has changed yet, a refusal leaves a whole root process.
    if (::initgroups(user->name.constData(), user->gid) != 0) {
        return QStringLiteral("Velkor was started as root through %1 by %2 but could not become %2 (%3), "
                              "so it runs as root and the archive goes to root's Desktop.")
            .arg(invoker->launcher, name, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (::setresgid(user->gid, user->gid, user->gid) != 0)
        stopHalfSwitched("setresgid", errno);
    if (::setresuid(user->uid, user->uid, user->uid) != 0)
        stopHalfSwitched("setresuid", errno);
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ruid != user->uid || euid != user->uid || suid != user->uid)
        stopHalfSwitched("getresuid", EPERM);
    if (::getresgid(&rgid, &egid, &sgid) != 0 || rgid != user->gid || egid != user->gid || sgid != user->gid)
        stopHalfSwitched("getresgid", EPERM);
    if (::setuid(0) == 0)
        stopHalfSwitched("setuid(0) still allowed", EPERM);
    takeOverEnvironment(*user);

    return QStringLiteral("Velkor was started as root through %1 by %2, so it runs as %2 and the archive goes to %2's "
                          "Desktop, owned by %2. The ACPI step asks for administrator rights.")
        .arg(invoker->launcher, name);
}

} // namespace velkor
