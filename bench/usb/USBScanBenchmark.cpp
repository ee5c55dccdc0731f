// Measures the registry USB scan: the largest saved registry, and generated registries of
// growing size to show that the scan time grows linearly with the number of entries.
#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"
#include "usb/NativeUSBTreeScanner.h"

#ifdef VELKOR_HAVE_REGISTRY_LOADER
#include "registry/IoregTextLoader.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace velkor;

namespace {

// One building block of about 100 entries: an XHCI controller with its driver, 16 ports and
// a device with interfaces on each port, or a storage controller with a deep chain of nodes.
qsizetype addBlock(const std::shared_ptr<TreeRegistryNode>& bridge, int index)
{
    qsizetype added = 0;
    const QString location = QString::number(index, 16);
    if (index % 2 == 0) {
        auto pci = bridge->addChild(kIOServicePlane, "XHC", "IOPCIDevice",
                                    {{"IOName", "pci8086,a36d"}, {"class-code", QByteArray::fromHex("30030c00")},
                                     {"vendor-id", littleEndianBytes(0x8086)}, {"device-id", littleEndianBytes(0xa36d)}, {"location", location}});
        auto driver = pci->addChild(kIOServicePlane, "XHC", "AppleUSBXHCISPT",
                                    {{"name", QByteArray("XHC\0", 4)}, {"locationID", qint64(index) << 24}});
        added += 2;
        for (int p = 1; p <= 16; ++p) {
            const QString name = QStringLiteral("%1%2").arg(p <= 10 ? "HS" : "SS").arg(p, 2, 10, QLatin1Char('0'));
            auto port = driver->addChild(kIOServicePlane, name, "AppleUSB20XHCIPort",
                                         {{"name", name}, {"port", littleEndianBytes(quint32(p))}, {"UsbConnector", qint64(3)}});
            auto device = port->addChild(kIOServicePlane, "Device", "IOUSBHostDevice", {{"USB Product Name", "Device"}});
            device->addChild(kIOServicePlane, "AppleUSBHostLegacyClient", "AppleUSBHostLegacyClient");
            auto interface = device->addChild(kIOServicePlane, "IOUSBHostInterface", "IOUSBHostInterface");
            interface->addChild(kIOServicePlane, "HIDDriver", "IOHIDInterface");
            interface->addChild(kIOServicePlane, "HIDClient", "IOHIDLibUserClient");
            added += 6;
        }
    } else {
        auto pci = bridge->addChild(kIOServicePlane, "SATA", "IOPCIDevice",
                                    {{"IOName", "pci8086,a352"}, {"class-code", QByteArray::fromHex("01060100")},
                                     {"vendor-id", littleEndianBytes(0x8086)}, {"device-id", littleEndianBytes(0xa352)}});
        ++added;
        std::shared_ptr<TreeRegistryNode> tip = pci;
        for (int depth = 0; depth < 97; ++depth) {
            tip = tip->addChild(kIOServicePlane, "IOBlockStorageDriver", "IOBlockStorageDriver",
                                {{"IOClass", "IOBlockStorageDriver"}, {"Statistics", QVariantMap{{"Reads", qint64(depth)}}}});
            ++added;
        }
    }
    return added;
}

std::shared_ptr<TreeRegistry> generatedRegistry(qsizetype entries)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = "Root";
    root->className = "IORegistryEntry";
    auto bridge = root->addChild(kIOServicePlane, "PCI0", "AppleACPIPCI", {{"IOName", "PCI0"}});
    qsizetype count = 2;
    for (int index = 0; count < entries; ++index)
        count += addBlock(bridge, index);
    return std::make_shared<TreeRegistry>(root);
}

// The median of several runs, in milliseconds.
double medianScanMs(const Registry& registry, int runs, qsizetype* controllers)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const USBScanResult result = NativeUSBTreeScanner(registry).scan();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        *controllers = result.controllers.size();
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

qsizetype entryCount(const Registry& registry)
{
    const auto tree = NativeUSBTreeScanner(registry).buildTree();
    qsizetype count = 0;
    std::vector<const NativeUSBNode*> pending{tree.get()};
    while (!pending.empty()) {
        const NativeUSBNode* node = pending.back();
        pending.pop_back();
        ++count;
        for (const auto& child : node->children)
            pending.push_back(child.get());
    }
    return count;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

#ifdef VELKOR_HAVE_REGISTRY_LOADER
    {
        const QString path = QStringLiteral(VELKOR_TEST_DATA_DIR "/registry/imac18-3-ioreg.txt");
        const auto registry = loadIoregTextFile(path);
        qsizetype controllers = 0;
        const double ms = medianScanMs(*registry, 21, &controllers);
        std::printf("iMac18,3 registry (%lld entries): scan %.2f ms, %lld controllers\n",
                    static_cast<long long>(entryCount(*registry)), ms, static_cast<long long>(controllers));
    }
#endif

    for (qsizetype entries : {50000, 100000, 200000}) {
        const auto registry = generatedRegistry(entries);
        const qsizetype actual = entryCount(*registry);
        qsizetype controllers = 0;
        const double ms = medianScanMs(*registry, 5, &controllers);
        std::printf("generated registry (%lld entries): scan %.1f ms, %.2f us per entry, %lld controllers\n",
                    static_cast<long long>(actual), ms, ms * 1000.0 / double(actual), static_cast<long long>(controllers));
    }
    return 0;
}
