// Measures loading registries saved as `ioreg -l` text from 5 to 40 MB, to show the time grows
// in step with the size: real-shaped ones (the iMac18,3 registry's entries repeated) and ones
// made of the forms that make the loader look ahead (XML printed as quoted data, texts holding
// quotes and line feeds, sets, 900 KB lines). Prints the median of three loads per size and
// the time per MB of the largest against the smallest.
#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace velkor;

namespace {

double medianLoadMilliseconds(const QByteArray& text)
{
    std::vector<double> times;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        const auto registry = loadIoregText(text, QStringLiteral("bench"));
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[1];
}

long peakResidentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// A root whose children are `copies` repetitions of the given entries (shared, printed each time).
QByteArray printedWithCopies(const std::vector<std::shared_ptr<TreeRegistryNode>>& entries, int copies)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = QStringLiteral("Root");
    root->className = QStringLiteral("IORegistryEntry");
    for (int copy = 0; copy < copies; ++copy)
        root->serviceChildren.insert(root->serviceChildren.end(), entries.begin(), entries.end());
    return printIoregText(TreeRegistry(root), kIOServicePlane).toUtf8();
}

// One entry of the forms that make the loader look ahead.
std::shared_ptr<TreeRegistryNode> hardEntry()
{
    QByteArray xml = "<dict ID=\"0\">";
    for (int key = 0; key < 40; ++key)
        xml += "<key>K" + QByteArray::number(key) + "</key><integer size=\"32\">0x" + QByteArray::number(key, 16) + "</integer>";
    xml += "</dict>";
    QString lines;
    for (int line = 0; line < 20; ++line)
        lines += QStringLiteral("line %1: \"quoted\", (bracketed) and <angled>\n").arg(line);
    auto entry = std::make_shared<TreeRegistryNode>();
    entry->name = QStringLiteral("AppleSmartBattery");
    entry->className = QStringLiteral("AppleSmartBattery");
    entry->properties = {{QStringLiteral("BatteryData"), xml},
                         {QStringLiteral("Report"), lines},
                         {QStringLiteral("Owners"), QVariantList{QStringLiteral("com.apple.driver.AppleMultiFunctionManager"),
                                                                 QStringLiteral("com.apple.iokit.IO80211Family")}},
                         {QStringLiteral("Nested"), QVariantList{QVariantMap{{QStringLiteral("a\"b"), QStringLiteral("c\" d, e")}}}}};
    return entry;
}

// Entries with one 900 KB property each.
std::shared_ptr<TreeRegistryNode> longLineEntry()
{
    auto entry = std::make_shared<TreeRegistryNode>();
    entry->name = QStringLiteral("ACPI");
    entry->className = QStringLiteral("IOService");
    QByteArray table(450 * 1024, '\0');
    for (qsizetype at = 0; at < table.size(); ++at)
        table[at] = char(at % 251);
    entry->properties = {{QStringLiteral("Table"), table}};
    return entry;
}

void measure(const char* label, const std::function<QByteArray(int)>& make, int copiesFor5MB)
{
    std::printf("%s\n", label);
    double firstPerMB = 0;
    double lastPerMB = 0;
    for (const int factor : {1, 2, 4, 8}) {
        const QByteArray text = make(copiesFor5MB * factor);
        const double megabytes = double(text.size()) / (1024.0 * 1024.0);
        const double milliseconds = medianLoadMilliseconds(text);
        const double perMB = milliseconds / megabytes;
        if (factor == 1)
            firstPerMB = perMB;
        lastPerMB = perMB;
        std::printf("  %5.1f MB: load %8.1f ms, %6.2f ms per MB, %6.1f MB/s\n", megabytes, milliseconds, perMB,
                    megabytes / (milliseconds / 1000.0));
    }
    std::printf("  time per MB at 8x the size: %.2fx of the smallest's (1.00x is linear)\n", lastPerMB / firstPerMB);
}

} // namespace

int main()
{
    const auto mac = loadIoregTextFile(QStringLiteral(VELKOR_REGISTRY_DATA_DIR "/imac18-3-ioreg.txt"));
    const auto& macEntries = mac->root()->serviceChildren;
    const qsizetype macBytes = printedWithCopies(macEntries, 1).size();
    const int macCopies = int((5LL * 1024 * 1024 + macBytes - 1) / macBytes);
    measure("real-shaped registry (the iMac18,3 entries repeated):",
            [&](int copies) { return printedWithCopies(macEntries, copies); }, macCopies);

    const std::vector<std::shared_ptr<TreeRegistryNode>> hard{hardEntry()};
    const qsizetype hardBytes = printedWithCopies(hard, 1).size();
    const int hardCopies = int((5LL * 1024 * 1024 + hardBytes - 1) / hardBytes);
    measure("look-ahead forms (XML as quoted data, quotes and line feeds in texts, sets):",
            [&](int copies) { return printedWithCopies(hard, copies); }, hardCopies);

    const std::vector<std::shared_ptr<TreeRegistryNode>> longLines{longLineEntry()};
    measure("900 KB lines:", [&](int copies) { return printedWithCopies(longLines, copies); }, 6);

    std::printf("peak resident memory of the whole benchmark: %.1f MB\n", double(peakResidentKilobytes()) / 1024.0);
    return 0;
}
