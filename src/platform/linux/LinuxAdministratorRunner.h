#pragma once

#include "base/AppBundle.h"
#include "platform/AdministratorRunner.h"

#include <QStringList>

namespace velkor {

// Administrator runs on Linux. A program that already runs as root runs "/bin/bash SCRIPT"
// itself; anyone else goes through polkit's pkexec, which shows the desktop's authentication
// prompt, or asks in the terminal the program was started from when no desktop agent runs.
//
// Installed system-wide, the bundle holds "velkor-admin", a helper that a polkit action of
// Velkor's own names, so that the prompt says what Velkor wants; pkexec then runs
// "velkor-admin SCRIPT", which runs "/bin/bash SCRIPT". Anywhere else (a build folder, a copy in
// the home folder) pkexec runs "/bin/bash SCRIPT" under polkit's generic message.
//
// The script path travels as one element of the argument vector, never through a shell or
// another language's string literal, so a path holding quotes, backslashes, blanks or
// non-ASCII letters needs no escaping and reaches bash unchanged.
//
// pkexec's own outcomes are told from the script's by the script's first output byte: before
// it, status 126 is a decline (CollectorError) and 127 means no prompt could be shown
// (AdministratorUnavailable); after it, every status is the script's. The prompt has no
// time-out; the run after it has limits.secondsAfterStart. Abandoning the run (quitting) ends
// pkexec while its prompt is open. Once the script runs as root this user cannot signal it:
// the run's pipes are closed, which ends the script at its next write, and the script itself
// ends when the program is gone.
class LinuxAdministratorRunner : public AdministratorRunner {
public:
    struct Options {
        bool runsAsRoot = false;
        QString pkexec = QStringLiteral("/usr/bin/pkexec");
        QString helper;                   // what pkexec runs in place of /bin/bash; empty for /bin/bash
        bool startedFromTerminal = false; // pkexec then asks in that terminal when no agent runs
    };

    // The running program with the bundle it came in.
    explicit LinuxAdministratorRunner(const AppBundle& bundle);
    // Tests choose whether the program counts as root, which pkexec and helper run, and whether
    // there is a terminal.
    explicit LinuxAdministratorRunner(Options options);

    QString promptNotice() const override;
    AdministratorRunOutput runScriptAsAdministrator(const QString& scriptPath, const AdministratorRunLimits& limits) override;

    // The program and its arguments for a script: ["/bin/bash", SCRIPT], [pkexec, "/bin/bash", SCRIPT]
    // or [pkexec, helper, SCRIPT].
    QStringList commandFor(const QString& scriptPath) const;

    // The name of the helper in the bundle's Tools folder.
    static const QString helperName;
    // Whether only root can change the file and every folder above it: an installed helper,
    // which pkexec may run as root without a user's program changing it first.
    static bool onlyRootCanChange(const QString& path);

private:
    Options m_options;
};

} // namespace velkor
