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
    QString runScriptAsAdministrator(const QString& scriptPath) override
    {
        scriptPaths.append(scriptPath);
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
        if (bash.exitCode() != 0)
            throw CollectorError::operationFailed(QStringLiteral("The administrator script failed with exit status %1").arg(bash.exitCode()));
        return QString::fromUtf8(bash.readAllStandardOutput());
    }

    QString declining;        // the refusal's text; empty when the user accepts
    QString workingDirectory; // where bash starts; the test's own folder when empty
    QStringList scriptPaths;
    std::vector<mode_t> scriptModes;
    std::vector<mode_t> folderModes;
    QStringList standardError;
};

} // namespace velkor::testing
