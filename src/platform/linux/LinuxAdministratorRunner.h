#pragma once

#include "platform/AdministratorRunner.h"

#include <QStringList>

namespace velkor {

// Administrator runs on Linux. A program that already runs as root runs "/bin/bash SCRIPT"
// itself; anyone else goes through polkit's "pkexec /bin/bash SCRIPT", which shows the
// desktop's authentication prompt and waits for it.
//
// The script path travels as one element of the argument vector, never through a shell or
// another language's string literal, so a path holding quotes, backslashes, blanks or
// non-ASCII letters needs no escaping and reaches bash unchanged.
//
// Returns what the script printed on standard output; its standard error only shows in the
// message of a failure. Throws when the user declines or fails to authenticate (pkexec's
// exit statuses 126 and 127), when pkexec cannot be started, and when the script exits with
// any status but 0. There is no time-out: the prompt stays open as long as the user wants.
class LinuxAdministratorRunner : public AdministratorRunner {
public:
    LinuxAdministratorRunner();
    // Tests choose whether the program counts as root and which pkexec to use.
    LinuxAdministratorRunner(bool runsAsRoot, QString pkexecPath);

    QString runScriptAsAdministrator(const QString& scriptPath) override;

    // The program and its arguments for a script: ["/bin/bash", SCRIPT] or [pkexec, "/bin/bash", SCRIPT].
    QStringList commandFor(const QString& scriptPath) const;

private:
    bool m_runsAsRoot;
    QString m_pkexec;
};

} // namespace velkor
