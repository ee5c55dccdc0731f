#pragma once

#include "base/CollectorError.h"
#include "platform/AdministratorRunner.h"

#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <sys/stat.h>
#include <vector>

namespace velkor::testing {

// Stands in for the administrator prompt: when the user accepts, runs "/bin/bash SCRIPT" as
// the current user and returns its standard output; when declining is set, throws its text.
// Records the script and, while it exists, its mode and the mode of the folder that holds it.
class FakeAdministratorRunner : public AdministratorRunner {
public:
    AdministratorRunOutput runScriptAsAdministrator(const QString& scriptPath, const AdministratorRunLimits& limits) override
    {
        scriptPaths.append(scriptPath);
        lastLimits = limits;
        QFile script(scriptPath);
        scriptTexts.append(script.open(QIODevice::ReadOnly) ? QString::fromUtf8(script.readAll()) : QString());
        struct stat info {};
        scriptModes.push_back(::lstat(QFile::encodeName(scriptPath).constData(), &info) == 0 ? info.st_mode : 0);
        folderModes.push_back(::lstat(QFile::encodeName(QFileInfo(scriptPath).path()).constData(), &info) == 0 ? info.st_mode : 0);
        if (!declining.isEmpty())
            throw CollectorError::operationFailed(declining);

        QProcess bash;
        if (!workingDirectory.isEmpty())
            bash.setWorkingDirectory(workingDirectory);
        bash.start(QStringLiteral("/bin/bash"), {scriptPath});
        bash.closeWriteChannel();
        if (!bash.waitForFinished(60000) || bash.exitStatus() != QProcess::NormalExit)
            throw CollectorError::operationFailed(QStringLiteral("The administrator script ended abnormally"));
        standardError.append(QString::fromUtf8(bash.readAllStandardError()));
        AdministratorRunOutput output;
        output.standardOutput = bash.readAllStandardOutput();
        output.exitStatus = bash.exitCode();
        if (output.exitStatus != 0)
            output.problem = QStringLiteral("it ended with exit status %1").arg(output.exitStatus);
        return output;
    }

    QString declining;        // the refusal's text; empty when the user accepts
    QString workingDirectory; // where bash starts; the test's own folder when empty
    AdministratorRunLimits lastLimits;
    QStringList scriptPaths;
    QStringList scriptTexts;
    std::vector<mode_t> scriptModes;
    std::vector<mode_t> folderModes;
    QStringList standardError;
};

// Stands in for a user who dismisses the administrator prompt or, with `unavailable`, for a
// desktop where no prompt can be shown.
class DecliningAdministratorRunner : public AdministratorRunner {
public:
    AdministratorRunOutput runScriptAsAdministrator(const QString& scriptPath, const AdministratorRunLimits&) override
    {
        scriptPaths.append(scriptPath);
        scriptExisted = QFileInfo::exists(scriptPath);
        if (unavailable)
            throw AdministratorUnavailable(message);
        throw CollectorError::operationFailed(message);
    }

    bool unavailable = false;
    QString message = QStringLiteral("Administrator authentication was declined or not authorized (pkexec exit status 126)");
    QStringList scriptPaths;
    bool scriptExisted = false;
};

} // namespace velkor::testing
