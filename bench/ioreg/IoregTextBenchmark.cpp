// Measures the registry listing: a registry of 12000 entries shaped like a real one (PCI
// devices with their identity data, drivers with power-management dictionaries) rendered and
// written, and the walk alone without masking and writing.
#include "ioreg/RegistryTextDump.h"
#include "registry/TreeRegistry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

using namespace velkor;

namespace {

std::shared_ptr<TreeRegistryNode> sampleRegistry(int entries)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->properties = {{"IOKitBuildVersion", "Darwin Kernel Version 17.0.0"}};
    std::vector<TreeRegistryNode*> parents{root.get()};
    for (int i = 1; i < entries; ++i) {
        TreeRegistryNode* parent = parents[size_t(i / 4) % parents.size()];
        QVariantMap properties{
            {"IOName", QString("pci8086,%1").arg(i, 4, 16, QChar('0'))},
            {"name", QByteArray("pci8086,a12f\0", 13)},
            {"compatible", QByteArray("pci8086,7270\0pci8086,a12f\0pciclass,0c0330\0XHC1\0", 47)},
            {"device-id", QByteArray("\x2f\xa1\0\0", 4)},
            {"vendor-id", QByteArray("\x86\x80\0\0", 4)},
            {"IOClass", "AppleUSBXHCISPT"},
            {"IOProbeScore", qint64(1000)},
            {"IOPowerManagement", QVariantMap{{"CurrentPowerState", qint64(2)}, {"MaxPowerState", qint64(3)},
                                              {"CapabilityFlags", qint64(32768)}}},
            {"IOPCITunnelCompatible", true},
            {"reg", QByteArray(200, '\x11')},
            {"acpi-path", "IOACPIPlane:/_SB/PCI0@0/XHC1@140000"},
        };
        parents.push_back(parent->addChild(kIOServicePlane, {}, {}, properties).get());
    }
    return root;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const TreeRegistry registry(sampleRegistry(12000));
    QTemporaryDir folder;
    const QString destination = folder.filePath("ioreg.txt");

    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        QStringList lines;
        int remaining = 12000;
        appendRegistryEntryText(*registry.rootEntry(), 0, lines, remaining);
        const qint64 walk = timer.elapsed();

        timer.restart();
        writeFallbackIORegText(registry, destination);
        const qint64 whole = timer.elapsed();
        std::printf("12000 entries: walk and render %lld ms (%lld lines); with masking and writing %lld ms (%lld bytes)\n",
                    static_cast<long long>(walk), static_cast<long long>(lines.size()), static_cast<long long>(whole),
                    static_cast<long long>(QFileInfo(destination).size()));
    }
    return 0;
}
