// Times the expert companion on a generated 20 MB registry in `ioreg -l` text form: PCI devices
// with xHCI controllers, ports and attached devices, and a platform node with ACPI tables.
#include "companion/RegistryCompanion.h"
#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"
#include "registry/IoregTextPrinter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

using namespace velkor;

namespace {

QByteArray acpiTable(const char* signature, int size)
{
    QByteArray table(size, 'a');
    table.replace(0, 4, signature);
    table.replace(4, 4, littleEndianBytes(quint32(size)));
    return table;
}

std::shared_ptr<TreeRegistry> generatedRegistry(qsizetype wantedBytes)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = "Root";
    root->className = "IORegistryEntry";
    auto platform = root->addChild(kIOServicePlane, "iMac18,3", "IOPlatformExpertDevice",
                                   {{"model", QByteArray("iMac18,3\0", 9)},
                                    {"ACPI Tables", QVariantMap{{"DSDT", acpiTable("DSDT", 60000)}, {"APIC", acpiTable("APIC", 200)}}}});
    int index = 0;
    qsizetype approximateBytes = 0;
    while (approximateBytes < wantedBytes) {
        const QString slot = QString::number(index, 16);
        const bool xhci = index % 10 == 0;
        QVariantMap pci{{"vendor-id", littleEndianBytes(0x8086)}, {"device-id", littleEndianBytes(xhci ? 0xa12f : 0x1000 + quint32(index % 4000))},
                        {"class-code", littleEndianBytes(xhci ? 0x0c0330 : 0x020000)}, {"IOName", "pci8086," + slot},
                        {"compatible", QByteArray("pci8086,a12f\0pciclass,0c0330\0", 30)},
                        {"IOPowerManagement", QVariantMap{{"CurrentPowerState", 2}, {"DevicePowerState", 2}}},
                        {"reg", QByteArray(1600, '\x11')}};
        ++index;
        auto device = platform->addChild(kIOServicePlane, "PCI" + slot, "IOPCIDevice", pci, slot);
        approximateBytes += 4000;
        if (!xhci)
            continue;
        auto driver = device->addChild(kIOServicePlane, "XHC" + slot, "AppleUSBXHCISPT", {{"IOClass", "AppleUSBXHCISPT"}}, slot + "000000");
        for (int port = 1; port <= 14; ++port) {
            const QString name = QStringLiteral("HS%1").arg(port, 2, 10, QLatin1Char('0'));
            auto portNode = driver->addChild(kIOServicePlane, name, "AppleUSB20XHCIPort",
                                             {{"port", littleEndianBytes(quint32(port))}, {"UsbConnector", 3}, {"name", name}}, "14100000");
            if (port == 3)
                portNode->addChild(kIOServicePlane, "USB Keyboard", "IOUSBHostDevice", {{"IOName", "USB Keyboard"}});
            approximateBytes += 400;
        }
    }
    return std::make_shared<TreeRegistry>(root);
}

} // namespace

int main()
{
    QTemporaryDir dir;
    const QString input = dir.filePath("registry.txt");
    {
        const auto registry = generatedRegistry(24LL * 1024 * 1024);
        QFile file(input);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(printIoregText(*registry, kIOServicePlane).toUtf8());
    }
    const double megabytes = double(QFile(input).size()) / (1024.0 * 1024.0);

    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    QElapsedTimer timer;
    timer.start();
    const int status = runRegistryCompanion({input, dir.filePath("out")}, AppBundle{}, outStream, errStream);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    errStream.flush();
    std::printf("companion on a %.1f MB registry: %.3f s (exit %d; target: well under 2 s)\n", megabytes, seconds, status);
    if (status != 0)
        std::printf("%s\n", qPrintable(err));
    return status;
}
