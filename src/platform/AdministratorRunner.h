#pragma once

#include "base/CollectorError.h"

#include <QByteArray>
#include <QString>

namespace velkor {

// Bounds of one administrator run once the script runs: the prompt before it may stay open as
// long as the user wants, what follows may not.
struct AdministratorRunLimits {
    qsizetype maxOutputBytes = 0;
    double secondsAfterStart = 0;
};

// What a script that ran with administrator rights handed back.
struct AdministratorRunOutput {
    QByteArray standardOutput;  // at most maxOutputBytes
    int exitStatus = 0;         // the script's own status; -1 when it ended by a signal or was stopped
    QString problem;            // why the run ended early (time-out, too much output), or empty
};

// No administrator prompt could be shown, and nothing ran as root: no authentication agent, no
// terminal for one, pkexec missing. Not a decline; the description says why and what helps.
class AdministratorUnavailable : public VelkorError {
public:
    using VelkorError::VelkorError;
};

// Runs "/bin/bash SCRIPT" with administrator rights after the user authenticates.
class AdministratorRunner {
public:
    virtual ~AdministratorRunner() = default;

    // A line for the run log before the prompt opens, such as where the password is asked;
    // empty when there is nothing to say.
    virtual QString promptNotice() const { return {}; }

    // Runs the script and returns what it printed. The script must print on its standard output
    // as soon as it starts: the first byte tells the run from the prompt, and starts the clock
    // of limits.secondsAfterStart. Throws CollectorError when the user declines or is not
    // authorized, AdministratorUnavailable when no prompt could be shown, and PlatformError when
    // the run was abandoned (the program is quitting).
    virtual AdministratorRunOutput runScriptAsAdministrator(const QString& scriptPath, const AdministratorRunLimits& limits) = 0;
};

} // namespace velkor
