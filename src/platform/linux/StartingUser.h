#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <sys/types.h>

namespace velkor {

// The user on whose behalf a root process was started, as sudo (SUDO_UID) and pkexec
// (PKEXEC_UID) record it in the environment of the program they start.
struct InvokingUser {
    uid_t uid = 0;
    QString launcher; // "sudo" or "pkexec"
};

// Reads the invoking user of a process whose effective user is `effectiveUid`; `variable`
// returns an environment variable, or nullopt when it is not set. nullopt when the process is
// not root, was not started through sudo or pkexec, or the recorded user is root or no
// valid user number. pkexec clears the environment it is given, so its record is the newer
// one when both are present.
std::optional<InvokingUser> invokingUser(uid_t effectiveUid,
                                         const std::function<std::optional<QByteArray>(const char*)>& variable);

// Settles whom the program works for; called first in main, before any thread exists.
// Started as root by another user through sudo or pkexec, the process becomes that user for
// good (groups, group and user IDs, HOME, USER, LOGNAME, XDG_RUNTIME_DIR, working folder):
// the archive then lands on that user's Desktop, owned by that user, and no code running as
// root touches a folder the user can write. The administrator step asks for rights as in an
// ordinary start.
//
// Returns the sentence the log shows about it; empty for an ordinary start as one's own user.
// When the switch is impossible (user unknown to the system, or the kernel refuses) the
// process stays root and the sentence says so. A switch that fails half-way ends the process,
// which never goes on with mixed identities.
QString settleStartingUser();

} // namespace velkor
