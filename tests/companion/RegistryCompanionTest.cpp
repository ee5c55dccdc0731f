#include "companion/RegistryCompanion.h"
#include "registry/TreeRegistry.h"
#include "registry/IoregTextPrinter.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

struct CompanionRun {
    int status = -1;
    QString out;
    QString err;
};

CompanionRun runCompanion(const QStringList& arguments)
{
    CompanionRun run;
    QTextStream out(&run.out);
    QTextStream err(&run.err);
    // The bundle whose tools hold the ID database excerpt the golden kext was made with.
    const AppBundle bundle = AppBundle::atBundlePath(testData("usb/bundle/Velkor.app"), "/nonexistent");
    run.status = runRegistryCompanion(arguments, bundle, out, err);
    out.flush();
    err.flush();
    return run;
}

QString registry(const QString& name)
{
    return testData("registry/" + name);
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int at = 0; at < 4; ++at)
        bytes[at] = char((value >> (8 * at)) & 0xFF);
    return bytes;
}

QByteArray acpiTable(const char* signature, const QByteArray& body)
{
    QByteArray table = QByteArray(signature, 4) + le32(quint32(36 + body.size())) + QByteArray(28, '\x01') + body;
    table[9] = 0;
    quint8 sum = 0;
    for (const char byte : table)
        sum = quint8(sum + quint8(byte));
    table[9] = char(quint8(0x100 - sum));
    return table;
}

QByteArray utf16(const QString& text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}


} // namespace

TEST(RegistryCompanion, IMacRegistryGivesTheKextReportsListingAndNoTables)
{
    QTemporaryDir output;
    const CompanionRun run = runCompanion({registry("imac18-3-ioreg.txt"), output.path()});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QString kext = output.filePath("Portwright.kext/Contents/Info.plist");
    EXPECT_EQ(run.out.split('\n', Qt::SkipEmptyParts),
              QStringList({"wrote " + kext, "wrote " + output.filePath("Portwright-report.txt"),
                           "wrote " + output.filePath("PCI-USB-Controllers.txt"), "wrote " + output.filePath("ioreg.txt")}));
    // The same kext and report as the program's generator gives for this registry; the model of
    // the port personalities is the registry's machine, not the one running the test.
    EXPECT_EQ(readText(kext), readText(testData("kext/imac18-3-Info.plist")));
    EXPECT_EQ(readText(output.filePath("Portwright-report.txt")), readText(testData("kext/imac18-3-Portwright-report.txt")));
    EXPECT_TRUE(readText(kext).contains("<key>iMac18,3-"));
    EXPECT_TRUE(readText(output.filePath("PCI-USB-Controllers.txt")).contains("PCI ID: 8086:a12f"));
    EXPECT_TRUE(readText(output.filePath("ioreg.txt")).startsWith("Velkor native IORegistry text fallback\n"));
    // No ACPI folder for a registry without tables, and nothing left of the work in progress.
    EXPECT_EQ(QDir(output.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({"PCI-USB-Controllers.txt", "Portwright-report.txt", "Portwright.kext", "ioreg.txt"}));
}

TEST(RegistryCompanion, MacBookProTablesAreWrittenWithTheirSignaturesAndSizes)
{
    QTemporaryDir output;
    const CompanionRun run = runCompanion({registry("macbookpro11-2-ioreg.txt"), output.path()});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QStringList tables = QDir(output.filePath("ACPI")).entryList({"*.aml"}, QDir::Files, QDir::Name);
    EXPECT_GE(tables.size(), 15);
    EXPECT_TRUE(tables.contains("DSDT.aml"));
    EXPECT_TRUE(tables.contains("APIC.aml"));
    EXPECT_TRUE(tables.contains("SSDT-01.aml"));
    for (const QString& name : tables) {
        const QByteArray table = readFile(output.filePath("ACPI/" + name));
        ASSERT_GE(table.size(), 36) << name.toStdString();
        EXPECT_EQ(QString::fromLatin1(table.left(4)), name.left(4)) << name.toStdString();
        const quint32 declared = quint8(table[4]) | quint8(table[5]) << 8 | quint8(table[6]) << 16 | quint32(quint8(table[7])) << 24;
        EXPECT_LE(declared, quint32(table.size())) << name.toStdString();
        EXPECT_TRUE(run.out.contains("wrote " + output.filePath("ACPI/" + name)));
    }
    // Nothing of the machine's identity reaches the listing.
    EXPECT_FALSE(readText(output.filePath("ioreg.txt")).contains("C02N42J7G3QC"));
}

TEST(RegistryCompanion, CommandLineErrorsAreClear)
{
    const CompanionRun help = runCompanion({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains("ioreg -l"));
    EXPECT_TRUE(help.out.contains("0 success, 1 failure (with a message), 2 wrong command line"));
    const CompanionRun version = runCompanion({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(QRegularExpression("^velkor-registry \\d+\\.\\d+\n$").match(version.out).hasMatch()) << version.out.toStdString();

    EXPECT_EQ(runCompanion({}).status, 2);
    EXPECT_EQ(runCompanion({"only-one"}).status, 2);
    EXPECT_EQ(runCompanion({"--unknown", "x"}).status, 2);

    // Inputs that are missing or not regular files fail at once with the reason; control
    // characters in names and in the text reach the terminal escaped.
    QTemporaryDir output;
    const QString fifo = output.filePath("registry-fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString escaping = output.filePath("esc\x1b[2Jape.txt");
    writeFile(escaping, "+-o Root  <class IORegistryEntry, id 0x100000100, retain 11>\n  | {\n  |   \"a\" = \x1b]0;owned\x07\n");
    const struct {
        QString input;
        QString reason;
    } inputs[] = {
        {output.filePath("nowhere.txt"), output.filePath("nowhere.txt") + ": No such file or directory"},
        {fifo, fifo + ": it is a pipe, not a regular file"},
        {output.path(), output.path() + ": it is a folder, not a regular file"},
        {escaping, output.filePath("esc\\x1b[2Jape.txt") + ":3: "},
    };
    for (const auto& input : inputs) {
        const CompanionRun run = runCompanion({input.input, output.filePath("out")});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.err.contains(input.reason)) << run.err.toStdString();
        EXPECT_FALSE(run.err.contains(QChar(0x1b)) || run.err.contains(QChar(0x07))) << run.err.toStdString();
    }

    writeFile(output.filePath("a-file"), "x");
    const CompanionRun notAFolder = runCompanion({registry("imac18-3-ioreg.txt"), output.filePath("a-file")});
    EXPECT_EQ(notAFolder.status, 1);
    EXPECT_TRUE(notAFolder.err.contains(output.filePath("a-file"))) << notAFolder.err.toStdString();

    const CompanionRun unwritable = runCompanion({registry("imac18-3-ioreg.txt"), "/proc/velkor-output"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_TRUE(unwritable.err.contains("/proc/velkor-output")) << unwritable.err.toStdString();
}

TEST(RegistryCompanion, PlantedIdentifiersAndTheProductKeyNeverReachTheOutput)
{
    const QString serial = "C02PLNT5XYZW", uuid = "5A1E2B3C-4D5E-4F60-8172-93A4B5C6D7E8", usbSerial = "USBSER12345678",
                  diskSerial = "WD-WX41A1234567", batterySerial = "D865033Y2ATFTMQAN", computer = "Janes-MacBook";
    const QByteArray mac = QByteArray::fromHex("a4b1c2d3e4f5"), bluetooth = QByteArray::fromHex("10ddb1aabbcc");
    const QByteArray key = "VK7JG-NPHTM-C97JM-9MPGT-3V66T";

    auto root = std::make_shared<TreeRegistryNode>();
    root->name = "Root";
    root->className = "IORegistryEntry";
    root->properties = {{"IOConsoleUsers", QVariantList{QVariantMap{{"kCGSSessionUserNameKey", "jane"},
                                                                    {"kCGSessionLongUserNameKey", "Jane Appleseed"}}}}};
    const QVariantMap tables{{"MSDM", acpiTable("MSDM", QByteArray(20, '\x02') + key)},
                             {"SSDT", acpiTable("SSDT", QByteArray(4, '\0') + utf16(serial) + QByteArray(4, '\0'))},
                             {"DSDT", acpiTable("DSDT", QByteArray(64, '\x10'))}};
    auto platform = root->addChild(kIOServicePlane, "MacBookPro11,2", "IOPlatformExpertDevice",
                                   {{"model", QByteArray("MacBookPro11,2")}, {"IOPlatformSerialNumber", serial},
                                    {"IOPlatformUUID", uuid}, {"ACPI Tables", tables}});
    // The identifiers where registries keep them, each also in an entry name the listing copies.
    platform->addChild(kIOServicePlane, "en0 " + mac.toHex(), "IOEthernetInterface", {{"IOMACAddress", mac}});
    platform->addChild(kIOServicePlane, "BT-" + bluetooth.toHex(), "BroadcomBluetoothHostController",
                       {{"BD_ADDR", bluetooth}, {"BluetoothLocalName", computer}});
    platform->addChild(kIOServicePlane, "Disk " + diskSerial, "IOAHCIBlockStorageDevice",
                       {{"Device Characteristics", QVariantMap{{"Serial Number", "  " + diskSerial}}}});
    platform->addChild(kIOServicePlane, "Battery " + batterySerial, "AppleSmartBattery", {{"BatterySerialNumber", batterySerial}});
    platform->addChild(kIOServicePlane, "Platform " + serial + " " + uuid, "IOService");
    auto pci = platform->addChild(kIOServicePlane, "XHC1", "IOPCIDevice",
                                  {{"class-code", le32(0x0c0330)}, {"vendor-id", le32(0x8086)}, {"device-id", le32(0xa12f)}}, "14");
    auto driver = pci->addChild(kIOServicePlane, "XHC1", "AppleUSBXHCISPT", {{"IOName", "XHC1"}, {"IOClass", "AppleUSBXHCISPT"}}, "14000000");
    const QStringList devices{"Jane's iPhone", QString::fromLatin1(mac.toHex()), usbSerial, computer + " Keyboard"};
    for (int port = 1; port <= devices.size(); ++port) {
        auto node = driver->addChild(kIOServicePlane, QStringLiteral("HS0%1").arg(port), "AppleUSB20XHCIPort",
                                     {{"IOName", QStringLiteral("HS0%1").arg(port)}, {"port", le32(quint32(port))}, {"UsbConnector", 3}},
                                     QStringLiteral("14%100000").arg(port));
        node->addChild(kIOServicePlane, devices[port - 1], "IOUSBHostDevice",
                       {{"IOName", devices[port - 1]}, {"USB Serial Number", usbSerial}});
    }

    QTemporaryDir dir;
    const QString input = dir.filePath("saved \"Mac\" \u00e4.txt");
    writeFile(input, printIoregText(TreeRegistry(root), kIOServicePlane).toUtf8());
    const QString output = dir.filePath("out put \u00f6");
    QDir().mkpath(output);
    writeFile(output + "/notes.txt", serial.toUtf8()); // not the companion's: left as it is
    writeFile(output + "/ioreg.txt", "an older listing");
    const CompanionRun run = runCompanion({input, output});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();

    // No spelling of any planted value in any file written, binary tables included.
    QList<QByteArray> spellings{key, key.toHex(), utf16(serial), utf16(QString::fromLatin1(key))};
    for (const QString& value : {serial, uuid, usbSerial, diskSerial, batterySerial, computer, QString("Jane Appleseed"), QString("jane")})
        spellings.append(value.toLower().toUtf8());
    for (const QByteArray& address : {mac, bluetooth})
        spellings += {address.toHex(), address.toHex(':'), address.toHex('-')};
    const QStringList written = filesBelow(output);
    for (const QString& file : written) {
        if (file.endsWith("/notes.txt"))
            continue;
        const QByteArray content = readFile(file).toLower();
        for (const QByteArray& spelling : spellings)
            EXPECT_FALSE(content.contains(spelling.toLower())) << file.toStdString() << " holds " << spelling.toStdString();
    }
    EXPECT_EQ(readFile(output + "/notes.txt"), serial.toUtf8());

    // The names are masked, not dropped; the product key is gone and the table still adds up.
    EXPECT_TRUE(readText(output + "/Portwright-report.txt").contains("active=XX-MASKED-XX's iPhone")) << readText(output + "/Portwright-report.txt").toStdString();
    const QByteArray msdm = readFile(output + "/ACPI/MSDM.aml");
    ASSERT_EQ(msdm.size(), 85);
    EXPECT_EQ(msdm.mid(56), QByteArray(29, 'X'));
    quint8 sum = 0;
    for (const char byte : msdm)
        sum = quint8(sum + quint8(byte));
    EXPECT_EQ(sum, 0);
    EXPECT_TRUE(run.out.contains("removed the Windows product key from " + output + "/ACPI/MSDM.aml")) << run.out.toStdString();
    // The table that holds the serial in UTF-16 cannot be masked in place: it is left out, and said so.
    EXPECT_TRUE(QFileInfo::exists(output + "/ACPI/DSDT.aml"));
    EXPECT_FALSE(written.join('\n').contains("SSDT")) << written.join('\n').toStdString();
    EXPECT_TRUE(run.err.contains("left out ACPI/SSDT")) << run.err.toStdString();
}
