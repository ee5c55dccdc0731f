// Measures the administrator step's two costs the user can feel: how long quitting takes while
// the authentication prompt is open (the window must be gone within 2 s), and how long reading
// what root handed back takes, for a typical machine and for the largest handover accepted.
#include "acpi/PrivilegedHandover.h"
#include "acpi/PrivilegedSetupScript.h"
#include "app/StandardSteps.h"
#include "collector/CollectorModel.h"
#include "platform/DesktopServices.h"
#include "platform/linux/LinuxAdministratorRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace velkor;

namespace {

class QuietDesktop : public DesktopServices {
public:
    explicit QuietDesktop(QString desktop) : m_desktop(std::move(desktop)) {}
    QString desktopPath() const override { return m_desktop; }
    void revealFile(const QString&, std::function<void(const QString&)>) override {}
    void openUrl(const QString&) override {}
    void playSound(SoundCue) override {}
    void notify(const QString&, const QString&) override {}

private:
    QString m_desktop;
};

void writeExecutable(const QString& path, const QByteArray& text)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(text);
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Milliseconds from quitting to the end of a run whose prompt stays open.
double quitDuringPrompt()
{
    QTemporaryDir root;
    const QString tools = root.filePath("Velkor.app/Contents/Resources/Tools");
    QDir().mkpath(tools);
    QDir().mkpath(root.filePath("Desktop"));
    QDir().mkpath(root.filePath("tmp"));
    writeExecutable(tools + "/patchmatic", "#!/bin/sh\nexit 0\n");
    const QString opened = root.filePath("prompt open");
    writeExecutable(root.filePath("pkexec"), "#!/bin/sh\ntouch '" + opened.toUtf8() + "'\nexec sleep 600\n");

    Platform platform;
    platform.bundle = AppBundle::atBundlePath(root.filePath("Velkor.app"), root.path());
    platform.desktop = std::make_shared<QuietDesktop>(root.filePath("Desktop"));
    platform.temporaryDirectory = root.filePath("tmp");
    platform.efiRoots = {};
    platform.administrator = std::make_shared<LinuxAdministratorRunner>(LinuxAdministratorRunner::Options{false, root.filePath("pkexec"), {}, false});
    CollectorModel model(platform, standardCollectionSteps());
    model.startCollection();
    while (!QFile::exists(opened)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    QElapsedTimer timer;
    timer.start();
    const bool ended = model.abandonRun(std::chrono::seconds(5));
    const double milliseconds = double(timer.nsecsElapsed()) / 1e6;
    if (!ended || !QDir(root.filePath("tmp")).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        std::fprintf(stderr, "the run did not end cleanly\n");
    return milliseconds;
}

QByteArray record(const QByteArray& kind, const QByteArray& name, const QByteArray& bytes)
{
    return kind + ' ' + QByteArray::number(bytes.size()) + ' ' + name + '\n' + bytes + '\n';
}

// A handover with the given tables and the other records a machine gives.
QByteArray handover(int tables, qsizetype tableBytes)
{
    QByteArray output = "VELKOR-PRIVILEGED 1\n" + record("log", "-", "[privileged] setup started\n");
    for (int index = 0; index < tables; ++index)
        output += record("table", "SSDT-" + QByteArray::number(index + 1) + ".aml", QByteArray(tableBytes, 'x'));
    output += record("output", "patchmatic-output.txt", QByteArray(4000, 'o'));
    output += record("bootlog", "-", QByteArray(60000, 'b'));
    for (int port = 0; port < 4; ++port)
        output += record("xhci", "0000:00:14.0/reg-ext-protocol:0" + QByteArray::number(port),
                         "EXTCAP_REVISION = 0x03000802\nEXTCAP_PORTINFO = 0x00000401\n");
    output += record("dmi", "product_serial", "C02XK1ZZJV3Q") + record("log", "-", "[privileged] setup finished\n") + "END\n";
    return output;
}

double parseMilliseconds(const QByteArray& output)
{
    const PrivilegedRequest request;
    double best = 1e18;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        const PrivilegedHandover parsed = parsePrivilegedHandover(output, request);
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
        if (!parsed.complete)
            std::fprintf(stderr, "handover not read whole: %s\n", parsed.problem.toUtf8().constData());
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    std::vector<double> quits;
    for (int round = 0; round < 5; ++round)
        quits.push_back(quitDuringPrompt());
    std::sort(quits.begin(), quits.end());
    std::printf("quit while the prompt is open: run ended after %.0f ms (best) to %.0f ms (worst) of 5; target < 2000 ms\n",
                quits.front(), quits.back());

    const QByteArray typical = handover(40, 16 * 1024);
    const QByteArray largest = handover(4, privileged::kTableBytes);
    std::printf("reading a typical handover (%.1f MB): %.2f ms\n", typical.size() / 1e6, parseMilliseconds(typical));
    std::printf("reading the largest tables accepted (%.1f MB): %.2f ms\n", largest.size() / 1e6, parseMilliseconds(largest));
    return 0;
}
