#include "platform/linux/LinuxAdministratorRunner.h"

#include "base/CollectorError.h"

#include <QProcess>

#include <unistd.h>

namespace velkor {
namespace {

const QString kBash = QStringLiteral("/bin/bash");

// pkexec's own failures: the user dismissed the prompt or is not authorized (126), or the
// authentication could not take place or failed (127, also when no polkit agent runs).
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecAuthenticationFailed = 127;

QString withDetails(const QString& message, const QByteArray& standardError)
{
    const QString details = QString::fromUtf8(standardError).trimmed();
    return details.isEmpty() ? message : message + QStringLiteral(": ") + details;
}

} // namespace

LinuxAdministratorRunner::LinuxAdministratorRunner()
    : LinuxAdministratorRunner(::geteuid() == 0, QStringLiteral("/usr/bin/pkexec"))
{
}

LinuxAdministratorRunner::LinuxAdministratorRunner(bool runsAsRoot, QString pkexecPath)
    : m_runsAsRoot(runsAsRoot), m_pkexec(std::move(pkexecPath))
{
}

QStringList LinuxAdministratorRunner::commandFor(const QString& scriptPath) const
{
    if (m_runsAsRoot)
        return {kBash, scriptPath};
    return {m_pkexec, kBash, scriptPath};
}

QString LinuxAdministratorRunner::runScriptAsAdministrator(const QString& scriptPath)
{
    QStringList command = commandFor(scriptPath);
    const QString program = command.takeFirst();

    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, command, QIODevice::ReadWrite);
    if (!process.waitForStarted(-1)) {
        if (m_runsAsRoot)
            throw PlatformError(QStringLiteral("Could not launch “%1”: %2").arg(program, process.errorString()));
        throw CollectorError::operationFailed(
            QStringLiteral("Could not ask for administrator rights: “%1” cannot be started (%2).").arg(program, process.errorString()));
    }
    process.closeWriteChannel();
    process.waitForFinished(-1);

    const QByteArray standardOutput = process.readAllStandardOutput();
    const QByteArray standardError = process.readAllStandardError();
    if (process.exitStatus() != QProcess::NormalExit)
        throw CollectorError::operationFailed(withDetails(QStringLiteral("The administrator script ended abnormally"), standardError));

    const int status = process.exitCode();
    if (!m_runsAsRoot && status == kPkexecNotAuthorized)
        throw CollectorError::operationFailed(withDetails(
            QStringLiteral("Administrator authentication was declined or not authorized (pkexec exit status 126)"), standardError));
    if (!m_runsAsRoot && status == kPkexecAuthenticationFailed)
        throw CollectorError::operationFailed(
            withDetails(QStringLiteral("Administrator authentication failed (pkexec exit status 127)"), standardError));
    if (status != 0)
        throw CollectorError::operationFailed(
            withDetails(QStringLiteral("The administrator script failed with exit status %1").arg(status), standardError));
    return QString::fromUtf8(standardOutput);
}

} // namespace velkor
