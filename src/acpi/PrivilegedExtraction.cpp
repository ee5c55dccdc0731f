#include "acpi/PrivilegedExtraction.h"

#include "process/ShellQuoting.h"

#include "acpi/NativeACPITables.h"
#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "steps/StepContext.h"
#include "platform/AdministratorRunner.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

constexpr double kDirectRunTimeout = 35;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The folder that holds the setup script while it runs: created fresh with mode 0700, so no
// other local user can replace or edit what root is about to run, and removed with its
// contents on every path out.
class PrivateScriptFolder {
public:
    explicit PrivateScriptFolder(const QString& parent)
    {
        QByteArray pattern = QFile::encodeName(parent + QStringLiteral("/quorvexgen_privileged_XXXXXX"));
        if (!::mkdtemp(pattern.data()))
            throw PlatformError(QStringLiteral("Could not create a private folder for the privileged setup script in “%1”: %2")
                                    .arg(parent, systemReason(errno)));
        m_path = QFile::decodeName(pattern);
    }
    ~PrivateScriptFolder()
    {
        try {
            removePath(m_path);
        } catch (const std::exception&) {
            // Nothing more can be done; the folder stays private to this user.
        }
    }
    PrivateScriptFolder(const PrivateScriptFolder&) = delete;
    PrivateScriptFolder& operator=(const PrivateScriptFolder&) = delete;

    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// Creates the script file exclusively (never through a link, never over an earlier file),
// writes it whole and makes it executable (0755).
void createExecutableScript(const QString& path, const QByteArray& bytes)
{
    const QByteArray encoded = QFile::encodeName(path);
    const int fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(path, systemReason(errno)));
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            const int error = count < 0 ? errno : EIO;
            ::close(fd);
            throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(path, systemReason(error)));
        }
        written += count;
    }
    if (::fchmod(fd, 0755) != 0) {
        const int error = errno;
        ::close(fd);
        throw PlatformError(QStringLiteral("Could not make “%1” executable: %2").arg(path, systemReason(error)));
    }
    if (::close(fd) != 0)
        throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(path, systemReason(errno)));
}

// The privileged run creates the output file as root. Later appends run as the user, who could
// not open that file and would end up replacing it; the user's own copy of it keeps every line.
void takeOverOutputFile(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid == ::geteuid())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray contents = file.readAll();
    file.close();
    try {
        writeFileAtomically(path, contents);
    } catch (const std::exception&) {
    }
}

QString inFolder(const QString& folder, const QString& name)
{
    return folder + QLatin1Char('/') + name;
}

} // namespace

QString privilegedSetupScriptName()
{
    return QStringLiteral("quorvexgen_privileged_setup_") + QString::number(::getpid()) + QStringLiteral(".sh");
}

QString privilegedSetupScript(const QString& bundlePath, const QString& patchmatic, const QString& acpiDir)
{
    const QString output = shellQuoted(inFolder(acpiDir, package::patchmaticOutput));
    const QStringList lines{
        QStringLiteral("#!/bin/bash"),
        QStringLiteral("set -u"),
        QStringLiteral("export PATH=/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin"),
        QStringLiteral("echo '[privileged] setup started'"),
        QStringLiteral("/usr/bin/xattr -cr ") + shellQuoted(bundlePath) + QStringLiteral(" 2>/dev/null || true"),
        QStringLiteral("/bin/chmod 755 ") + shellQuoted(patchmatic) + QStringLiteral(" 2>/dev/null || true"),
        QStringLiteral("/bin/mkdir -p ") + shellQuoted(acpiDir),
        // Root must never clear "*.aml" in whatever folder it happens to be in.
        QStringLiteral("cd ") + shellQuoted(acpiDir) + QStringLiteral(" || exit 1"),
        QStringLiteral("/bin/rm -f -- *.aml 2>/dev/null || true"),
        QStringLiteral("echo '[privileged] extracting ACPI with bundled patchmatic: ") + shellEscaped(patchmatic)
            + QStringLiteral("' > ") + output,
        QStringLiteral("echo '[privileged] working directory: ") + shellEscaped(acpiDir) + QStringLiteral("' >> ") + output,
        shellQuoted(patchmatic) + QStringLiteral(" -extract >> ") + output + QStringLiteral(" 2>&1"),
        QStringLiteral("STATUS=$?"),
        QStringLiteral("echo '[privileged] patchmatic exit status:' $STATUS >> ") + output,
        QStringLiteral("echo '[privileged] AML count:' $(/usr/bin/find . -maxdepth 1 -iname '*.aml' | /usr/bin/wc -l | "
                       "/usr/bin/tr -d ' ') >> ")
            + output,
        QStringLiteral("echo '[privileged] setup finished'"),
        QStringLiteral("exit 0"),
    };
    return lines.join(QLatin1Char('\n'));
}

int countAMLFiles(const QString& folder)
{
    const QDir directory(folder);
    if (!directory.exists())
        return 0;
    const QStringList names = directory.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    int count = 0;
    for (const QString& name : names) {
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot > 0 && name.mid(dot + 1).compare(QLatin1String("aml"), Qt::CaseInsensitive) == 0)
            ++count;
    }
    return count;
}

void runPrivilegedSetupOnce(StepContext& context, const QString& patchmatic, const QString& acpiDir)
{
    const QString temporary = context.platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : context.platform.temporaryDirectory;
    const QString script = privilegedSetupScript(context.platform.bundle.bundlePath, patchmatic, acpiDir);

    if (!context.platform.administrator)
        throw CollectorError::operationFailed(QStringLiteral("Administrator rights cannot be requested on this system."));

    const PrivateScriptFolder folder(temporary);
    const QString scriptPath = inFolder(folder.path(), privilegedSetupScriptName());
    createExecutableScript(scriptPath, script.toUtf8());
    const QString printed = context.platform.administrator->runScriptAsAdministrator(scriptPath);

    takeOverOutputFile(inFolder(acpiDir, package::patchmaticOutput));
    if (!printed.trimmed().isEmpty())
        context.log.log(maskText(printed));
}

void extractACPIWithValidation(StepContext& context, const QString& patchmatic, const QString& acpiDir)
{
    const Registry* registry = context.platform.registry.get();
    const QString output = inFolder(acpiDir, package::patchmaticOutput);

    runPrivilegedSetupOnce(context, patchmatic, acpiDir);

    const int privilegedCount = countAMLFiles(acpiDir);
    if (privilegedCount > 0) {
        const int added = extractNativeACPITablesIfNeeded(registry, acpiDir);
        if (added == 0) {
            context.log.log(QStringLiteral("ACPI extracted successfully with patchmatic: %1 AML file(s).").arg(privilegedCount));
        } else {
            const int total = countAMLFiles(acpiDir);
            context.log.log(QStringLiteral("Native ACPI table supplement added %1 table(s), including APIC when available.").arg(added));
            context.log.log(QStringLiteral("ACPI extracted successfully with patchmatic: %1 AML file(s).").arg(total));
        }
        return;
    }

    context.log.log(QStringLiteral(
        "WARNING: privileged patchmatic run produced 0 AML files. Trying a direct bundled patchmatic fallback..."));
    try {
        const QString printed = runProcess(patchmatic, {QStringLiteral("-extract")}, acpiDir, kDirectRunTimeout);
        appendText(QStringLiteral("\n\n[direct fallback]\n") + printed, output);
    } catch (const std::exception& error) {
        appendText(QStringLiteral("\n\n[direct fallback failure]\n") + describeError(error) + QLatin1Char('\n'), output);
    }

    const int added = extractNativeACPITablesIfNeeded(registry, acpiDir);
    if (added > 0) {
        appendText(QStringLiteral("\n\n[native IOKit ACPI table supplement]\nAdded %1 table(s) from IODeviceTree/IOService properties.\n")
                       .arg(added),
                   output);
    }

    const int total = countAMLFiles(acpiDir);
    if (total > 0) {
        context.log.log(QStringLiteral("ACPI extracted successfully after fallback: %1 AML file(s).").arg(total));
        return;
    }
    writeTextFile(inFolder(acpiDir, package::acpiExtractionFailed),
                  QStringLiteral("ACPI extraction finished with 0 AML files. See patchmatic-output.txt for details.\n"
                                 "The collection continues so the final ZIP is still generated.\n"));
    context.log.log(QStringLiteral(
        "WARNING: ACPI extraction produced 0 AML files. ACPI-extraction-failed.txt was written and collection will continue."));
}

} // namespace velkor
