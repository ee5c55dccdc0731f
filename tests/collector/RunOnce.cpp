// velkor_run_once BUNDLE DESKTOP TEMPORARY PKEXEC MACHINE EFI BOOT_LOG: one run as the program runs it, which
// prints its log and exits 0 when the archive was made; SIGTERM, SIGINT or SIGHUP end it as closing the window does.
#include "app/StandardSteps.h"
#include "collector/CollectorModel.h"
#include "platform/linux/LinuxAdministratorRunner.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "platform/linux/LinuxPlatform.h"
#include "process/ShellQuoting.h"
#include "process/TerminationSignals.h"
#include "support/FakeDesktopServices.h"
#include <QCoreApplication>

using namespace velkor;

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    Platform platform = makeLinuxPlatform(arguments[1] + QStringLiteral("/Contents/MacOS"));
    platform.desktop = std::make_shared<testing::FakeDesktopServices>(arguments[2]);
    platform.temporaryDirectory = arguments[3];
    platform.administrator = std::make_shared<LinuxAdministratorRunner>(LinuxAdministratorRunner::Options{false, arguments[4], {}, false});
    platform.machineRoot = arguments[5];
    platform.identifiers = std::make_shared<LinuxMachineIdentifierSource>(arguments[5]);
    platform.efiRoots = {arguments[6]};
    platform.commands.bootLogDump = {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("/usr/bin/cat ") + shellQuoted(arguments[7])}};

    CollectorModel model(platform, standardCollectionSteps());
    QObject::connect(&model, &CollectorModel::collectionFinished, &application, [&model] {
        std::fputs(model.logText().toUtf8().constData(), stdout);
        std::fflush(stdout);
        std::_Exit(model.lastZipURL().isEmpty() ? 1 : 0);
    });
    const TerminationSignals terminationSignals([&model](int) {
        const bool ended = model.abandonRun(std::chrono::seconds(5));
        std::puts(ended ? "quit: the run ended" : "quit: the run is still going");
        std::fflush(stdout);
        std::_Exit(ended ? 0 : 3);
    });
    model.startCollection();
    return QCoreApplication::exec();
}
