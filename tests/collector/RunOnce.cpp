// Runs one collection as the program does, with the real steps and the Linux platform, for
// tests that run it as an ordinary user. Prints the run log and exits 0 when the archive was
// made. A line "quit" on standard input, SIGTERM, SIGINT or SIGHUP ends it as closing the
// window does.
//
// velkor_run_once BUNDLE DESKTOP TEMPORARY PKEXEC MACHINE_ROOT EFI_ROOT BOOT_LOG_FILE
#include "app/StandardSteps.h"
#include "collector/CollectorModel.h"
#include "platform/linux/LinuxAdministratorRunner.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "platform/linux/LinuxPlatform.h"
#include "process/ShellQuoting.h"
#include "process/TerminationSignals.h"
#include "support/FakeDesktopServices.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace velkor;

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 8) {
        std::fputs("usage: velkor_run_once BUNDLE DESKTOP TEMPORARY PKEXEC MACHINE_ROOT EFI_ROOT BOOT_LOG_FILE\n", stderr);
        return 2;
    }
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
    const auto quit = [&model] {
        const auto asked = std::chrono::steady_clock::now();
        const bool ended = model.abandonRun(std::chrono::seconds(5));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
        std::printf("quit: %s after %lld ms\n", ended ? "the run ended" : "the run is still going", (long long)took.count());
        std::fflush(stdout);
        std::_Exit(ended ? 0 : 3);
    };
    const TerminationSignals terminationSignals([&quit](int) { quit(); });
    std::thread([&application, &quit] {
        char line[64];
        while (std::fgets(line, sizeof line, stdin)) {
            if (std::strcmp(line, "quit\n") == 0)
                QMetaObject::invokeMethod(&application, quit);
        }
    }).detach();
    model.startCollection();
    return QCoreApplication::exec();
}
