#pragma once

#include <QString>

namespace velkor {

// Runs "/bin/bash SCRIPT" with administrator rights after the user authenticates.
class AdministratorRunner {
public:
    virtual ~AdministratorRunner() = default;
    // The script's standard output. Throws when the user declines or the run fails.
    virtual QString runScriptAsAdministrator(const QString& scriptPath) = 0;
};

} // namespace velkor
