// Measures the registry: building and walking this machine's registry from sysfs, loading a
// saved Mac registry, and a 100 000-deep chain and a million-entry registry built, walked,
// printed and released.
#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "platform/linux/SysfsRegistry.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace velkor;

namespace {

template <typename Work>
double milliseconds(Work&& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

struct Walked {
    size_t entries = 0;
    size_t properties = 0;
};

// Every entry of a plane with its whole property table, the way the scanner and the ACPI
// supplement read a registry.
Walked walk(const Registry& registry, const QString& plane)
{
    std::vector<std::unique_ptr<RegistryIterator>> stack;
    auto root = registry.rootEntry();
    size_t entries = 1;
    size_t properties = size_t(root->properties().size());
    stack.push_back(root->childIterator(plane));
    while (!stack.empty()) {
        auto next = stack.back()->next();
        if (!next) {
            stack.pop_back();
            continue;
        }
        ++entries;
        properties += size_t(next->properties().size());
        stack.push_back(next->childIterator(plane));
    }
    return {entries, properties};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Walks, prints and releases a generated tree and prints the figures beside its build time.
void reportTreeFigures(const char* label, std::shared_ptr<TreeRegistryNode> root, double build)
{
    auto registry = std::make_unique<TreeRegistry>(std::move(root));
    Walked walked;
    const double walkTime = milliseconds([&] { walked = walk(*registry, kIOServicePlane); });
    bool truncated = false;
    const double printed = milliseconds([&] { printIoregText(*registry, kIOServicePlane, true, &truncated); });
    const double released = milliseconds([&] { registry.reset(); });
    std::printf("%s: build %.1f ms, walk %.1f ms (%zu entries), print %.1f ms (cut: %s), release %.1f ms\n", label, build,
                walkTime, walked.entries, printed, truncated ? "yes" : "no", released);
}

} // namespace

int main()
{
    // This machine, as a run sees it: build, then walk both planes.
    std::vector<double> live;
    Walked service;
    Walked deviceTree;
    for (int round = 0; round < 15; ++round) {
        live.push_back(milliseconds([&] {
            const SysfsRegistry registry;
            service = walk(registry, kIOServicePlane);
            deviceTree = walk(registry, kIODeviceTreePlane);
        }));
    }
    std::printf("live registry from /sys: build and walk of both planes (%zu + %zu entries, %zu properties): median %.2f ms, max %.2f ms\n",
                service.entries, deviceTree.entries, service.properties + deviceTree.properties, median(live),
                *std::max_element(live.begin(), live.end()));

    const QString saved = QStringLiteral(VELKOR_REGISTRY_DATA_DIR "/imac18-3-ioreg.txt");
    std::shared_ptr<TreeRegistry> mac;
    const double load = milliseconds([&] { mac = loadIoregTextFile(saved); });
    std::printf("saved registry %s (%.1f MB): load %.1f ms; print again %.1f ms\n", qPrintable(QFileInfo(saved).fileName()),
                QFileInfo(saved).size() / 1e6, load, milliseconds([&] { printIoregText(*mac, kIOServicePlane); }));

    // A 100 000-deep chain.
    {
        auto root = std::make_shared<TreeRegistryNode>();
        const double build = milliseconds([&] {
            TreeRegistryNode* tip = root.get();
            for (int level = 1; level < 100000; ++level)
                tip = tip->addChild(kIOServicePlane, QStringLiteral("n"), QStringLiteral("C")).get();
        });
        reportTreeFigures("100 000-deep chain", std::move(root), build);
    }

    // A million entries: a thousand branches of a thousand.
    {
        auto root = std::make_shared<TreeRegistryNode>();
        const QString name = QStringLiteral("entry");
        const QString className = QStringLiteral("C");
        const QVariantMap properties{{QStringLiteral("port"), QByteArray("\x01\0\0\0", 4)}};
        const double build = milliseconds([&] {
            for (int branch = 0; branch < 1000; ++branch) {
                auto parent = root->addChild(kIOServicePlane, name, className, properties);
                for (int leaf = 0; leaf < 999; ++leaf)
                    parent->addChild(kIOServicePlane, name, className, properties);
            }
        });
        reportTreeFigures("million entries", std::move(root), build);
    }
    return 0;
}
