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

#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

constexpr double kDirectRunTimeout = 35;

// The privileged run creates the output file as root. Later appends run as the user, who could
// not open that file and would end up replacing it; the user's own copy of it keeps every line.
void takeOverOutputFile(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid == ::geteuid())
        return;
    const std::optional<QByteArray> contents = readRegularFile(path);
    if (!contents)
        return;
    try {
        writeFileAtomically(path, *contents);
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

void runPrivilegedSetupOnce(StepContext& context, const QString& patchmatic, const QString& acpiDir)
{
    const QString temporary = context.platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : context.platform.temporaryDirectory;
    const QString script = privilegedSetupScript(context.platform.bundle.bundlePath, patchmatic, acpiDir);

    if (!context.platform.administrator)
        throw CollectorError::operationFailed(QStringLiteral("Administrator rights cannot be requested on this system."));

    // A folder of its own (mode 0700), so no other local user can replace or edit what root is
    // about to run; removed with the script on every way out.
    const PrivateTemporaryFolder folder(temporary, QStringLiteral("quorvexgen_privileged_"));
    const QString scriptPath = inFolder(folder.path(), privilegedSetupScriptName());
    createFileExclusively(scriptPath, script.toUtf8(), 0755);
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

    const int privilegedCount = int(acpiTableFiles(acpiDir).size());
    if (privilegedCount > 0) {
        const int added = extractNativeACPITablesIfNeeded(registry, acpiDir);
        if (added == 0) {
            context.log.log(QStringLiteral("ACPI extracted successfully with patchmatic: %1 AML file(s).").arg(privilegedCount));
        } else {
            const int total = int(acpiTableFiles(acpiDir).size());
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

    const int total = int(acpiTableFiles(acpiDir).size());
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
