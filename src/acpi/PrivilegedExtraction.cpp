#include "acpi/PrivilegedExtraction.h"

#include "acpi/NativeACPITables.h"
#include "acpi/PrivilegedHandover.h"
#include "acpi/PrivilegedSetupScript.h"
#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "steps/StepContext.h"
#include "platform/AdministratorRunner.h"
#include "platform/PrivilegedFacts.h"
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

QString inFolder(const QString& folder, const QString& name)
{
    return folder + QLatin1Char('/') + name;
}

// The ACPI folder's part of what root handed back, written with the user's own rights: earlier
// tables go first (the privileged run starts the folder afresh), then "patchmatic-output.txt"
// and each table are written whole and renamed into place, so that whatever stands under those
// names (a link, a FIFO) is replaced and never written through.
void writeHandedOverFiles(const PrivilegedHandover& handover, const QString& acpiDir)
{
    createDirectories(acpiDir);
    const QStringList earlier = QDir(acpiDir).entryList({QStringLiteral("*.aml")}, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : earlier)
        removePath(inFolder(acpiDir, name));
    if (handover.patchmaticOutput)
        writeFileAtomically(inFolder(acpiDir, package::patchmaticOutput), *handover.patchmaticOutput);
    for (const auto& [name, bytes] : handover.tables)
        writeFileAtomically(inFolder(acpiDir, name), bytes);
}

} // namespace

QString privilegedSetupScriptName()
{
    return QStringLiteral("quorvexgen_privileged_setup_") + QString::number(::getpid()) + QStringLiteral(".sh");
}

PrivilegedRun runPrivilegedSetupOnce(StepContext& context, const QString& patchmatic, const QString& acpiDir)
{
    const Platform& platform = context.platform;
    const QString temporary = platform.temporaryDirectory.isEmpty() ? QDir::tempPath() : platform.temporaryDirectory;
    const PrivilegedRequest request = privilegedRequestFor(platform, patchmatic);

    if (!platform.administrator)
        throw CollectorError::operationFailed(QStringLiteral("Administrator rights cannot be requested on this system."));

    // A folder of its own (mode 0700), so no other local user can replace or edit what root is
    // about to run; removed with the script on every way out.
    const PrivateTemporaryFolder folder(temporary, QStringLiteral("quorvexgen_privileged_"));
    const QString scriptPath = inFolder(folder.path(), privilegedSetupScriptName());
    createFileExclusively(scriptPath, privilegedSetupScript(request).toUtf8(), 0755);

    const QString notice = platform.administrator->promptNotice();
    if (!notice.isEmpty())
        context.log.log(notice);
    AdministratorRunOutput run;
    try {
        run = platform.administrator->runScriptAsAdministrator(scriptPath, {privileged::kHandoverBytes, privileged::kRunSeconds});
    } catch (const AdministratorUnavailable& unavailable) {
        context.log.log(QStringLiteral("WARNING: No administrator prompt could be shown: %1. Velkor goes on without administrator "
                                       "rights, with what this user may read of the ACPI tables, the boot log and the hardware details.")
                            .arg(unavailable.description()));
        createDirectories(acpiDir);
        writeTextFile(inFolder(acpiDir, package::patchmaticOutput),
                      QStringLiteral("[privileged] no administrator run: ") + unavailable.description() + QLatin1Char('\n'));
        return PrivilegedRun::NotPossible;
    }

    const PrivilegedHandover handover = parsePrivilegedHandover(run.standardOutput, request);
    if (!handover.log.trimmed().isEmpty())
        context.log.log(maskText(handover.log));
    if (!run.problem.isEmpty())
        context.log.log(QStringLiteral("WARNING: The administrator run did not finish cleanly: %1.").arg(run.problem));
    // A run that failed before printing anything is explained by the line above.
    if (!handover.problem.isEmpty() && (handover.started || run.problem.isEmpty()))
        context.log.log(QStringLiteral("WARNING: Velkor did not accept all the administrator run handed back: %1.").arg(handover.problem));
    if (handover.started)
        writeHandedOverFiles(handover, acpiDir);
    if (platform.privilegedFacts)
        platform.privilegedFacts->publish(handover.facts);
    return PrivilegedRun::Ran;
}

void extractACPIWithValidation(StepContext& context, const QString& patchmatic, const QString& acpiDir)
{
    const Registry* registry = context.platform.registry.get();
    const QString output = inFolder(acpiDir, package::patchmaticOutput);

    const PrivilegedRun privilegedRun = runPrivilegedSetupOnce(context, patchmatic, acpiDir);

    const int privilegedCount = privilegedRun == PrivilegedRun::Ran ? int(acpiTableFiles(acpiDir).size()) : 0;
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

    // Without a prompt the warning above has said why; there was no privileged run to count.
    if (privilegedRun == PrivilegedRun::Ran)
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
