#include "audit/IdentifierSet.h"
#include "audit/MsdmTable.h"
#include "audit/MultiPatternSearch.h"
#include "audit/PrivacyAudit.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "privacy/Sanitizer.h"
#include "registry/RegistryTestSupport.h"
#include "registry/TreeRegistry.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <numeric>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QByteArray kProductKey = "ABCDE-FGHIJ-KLMNO-PQRST-UVWXY";

QByteArray utf16le(const QString& text) { return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2); }

quint8 checksum(const QByteArray& b)
{
    return std::accumulate(b.begin(), b.end(), quint8(0), [](quint8 sum, char c) { return quint8(sum + quint8(c)); });
}

// A Windows licence table: header (length 85, checksum at 9, OEM id at 10), the key at 56.
QByteArray msdmTable()
{
    QByteArray table = "MSDM" + QByteArray(1, char(85)) + QByteArray(5, 0) + "ALASKA" + QByteArray(40, 0) + kProductKey;
    table[9] = char(quint8(0x100 - checksum(table)));
    return table;
}

struct Leak {
    const char* file;        // in the package
    QByteArray text;         // what the package says
    QList<QByteArray> values; // must not be left in it, in any case, as UTF-8, Latin-1 or UTF-16
};

const std::pair<const char*, QByteArray> kBelowMachineRoot[] = {
    {"sys/class/net/enx8c1645123456/address", "8c:16:45:12:34:56\n"},
    {"proc/sys/kernel/hostname", "smith-laptop\n"},
    {"var/lib/bluetooth/5C:F3:70:AB:CD:EF/11:22:33:44:55:66/info", "[General]\n"},
    {"sys/class/block/sda/device/wwid", "t10.ATA     Samsung SSD 860 EVO 500GB               S3Z9NB0K123456X\n"},
    {"etc/machine-id", "3f1c9a7b2d4e4f5a8b6c7d8e9f0a1b2c\n"},
    {"proc/sys/kernel/random/boot_id", "8d2b5f0e-4c1a-4e7b-9a3d-6f5e4d3c2b1a\n"},
    {"etc/NetworkManager/system-connections/Flore.nmconnection", "[connection]\ntype=wifi\n[wifi]\nssid=Café de Flore\n"},
    {"etc/passwd", "root:x:0:0:root:/root:/bin/bash\njsmith:x:1000:1000:John Smith,,,:/srv/people/js-home:/bin/bash\n"
                   "ubuntu:x:1001:1001:Ubuntu:/home/ubuntu:/bin/bash\ndebian:x:1002:1002::/home/debian:/bin/sh\n"},
    {"etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\nVERSION_CODENAME=bookworm\n"},
};


const Leak kLeaks[] = {
    // A bootloader configuration that is not UTF-8, with the identity keys the ten rules miss.
    {"OC-config.plist", "<plist><dict><!-- r\xe9glages -->\n<key>ChassisSerialNumber</key><string>C02CHASSIS77Q</string>\n"
                        "<key>4D1EDE05-38C7-4A6A-9CC6-4BCCA8B38C14:MLB</key><string>C02MLB0123456789A</string>\n"
                        "<key>ROM</key><data>ESIzRFVm</data>\n</dict></plist>\n", {"C02CHASSIS77Q", "C02MLB0123456789A"}},
    {"Registry.txt", "<!-- r\xe9glages --><key>ChassisSerialNumber</key><string>C02CHASSIS77Q</string>\n", {"C02CHASSIS77Q"}},
    {"nvram.txt", "4D1EDE05-38C7-4A6A-9CC6-4BCCA8B38C14:MLB\tC02MLB0123456789A\nfw 112233445566\n", {"C02MLB0123456789A", "112233445566"}},
    {"SysDump-Zantro.spx", "<string>enx8c1645123456</string>", {"8c1645123456"}},
    {"bootlog.txt", "r8152 2-1:1.0 enx8c1645123456: renamed from eth0\n", {"8c1645123456"}},
    {"Bootargs.txt", "root=/dev/mapper/smith--laptop--vg-root ro quiet\n", {"smith--laptop"}},
    {"network.txt", "inet6 fe80::8e16:45ff:fe12:3456/64 scope link\n", {"8e16:45ff:fe12:3456"}},
    {"bluetooth.log", "Controller 5C:F3:70:AB:CD:EF\n/org/bluez/hci0/dev_11_22_33_44_55_66\n", {"11_22_33_44_55_66", "5C:F3:70:AB:CD:EF"}},
    {"disks.txt", "ID_SERIAL_SHORT=S3Z9NB0K123456X\n", {"S3Z9NB0K123456X"}},
    {"journal.txt", "_MACHINE_ID=3f1c9a7b2d4e4f5a8b6c7d8e9f0a1b2c\n-- Boot 8d2b5f0e4c1a4e7b9a3d6f5e4d3c2b1a --\n",
     {"3f1c9a7b2d4e4f5a8b6c7d8e9f0a1b2c", "8d2b5f0e4c1a4e7b9a3d6f5e4d3c2b1a"}},
    {"wifi.txt", "Connected to «Café de Flore»\n", {"Café de Flore"}},
    {"users.txt", "Owner: “John Smith”\nHOME=/srv/people/js-home/Desktop\n", {"John Smith", "/srv/people/js-home"}},
    {".hidden.log", "link enx8c1645123456 up\n", {"8c1645123456"}},
    {"utf16.txt", utf16le("SMBIOS: S3Z9NB0K123456X"), {"S3Z9NB0K123456X"}},
    // The firmware's and devices' own identifiers, as the administrator step and the registry give them.
    {"Pmset.txt", "serial c02n42j7g3qc uuid 4c4c4544-0042-3510-8052-b4c04f333732 mac 52540012ABCD host workbench-17\n"
                  "stick QM00001STICK at /home/zantrouser/Desktop\n",
     {"C02N42J7G3QC", "4C4C4544-0042-3510-8052-B4C04F333732", "52540012abcd", "workbench-17", "QM00001STICK", "/home/zantrouser/"}},
    {"CPUFriend-Dump/data.log", "52-54-00-12-AB-CD\n", {"52-54-00-12-ab-cd"}},
    {"utf16-serial.txt", utf16le("C02N42J7G3QC is the serial\n"), {"C02N42J7G3QC"}},
    {"binary.bin", QByteArray("\x01\x02") + "4C4C4544-0042-3510-8052-B4C04F333732" + QByteArray("\x00\xff", 2),
     {"4C4C4544-0042-3510-8052-B4C04F333732"}},
    {".hidden", "C02N42J7G3QC", {"C02N42J7G3QC"}},
    {"ACPI/MSDM.aml", msdmTable(), {kProductKey}},
    {"ioregAPP.txt", "\"MSDM\" = <" + kProductKey.toHex() + ">\n", {kProductKey.toHex()}},
};

// Kept as they are: PCI addresses, the OS's names as login names, a login inside a word, placeholders.
const std::pair<const char*, QByteArray> kKept[] = {
    {"bootlog.txt", "xhci_hcd 0000:00:14.0: xHCI Host Controller\n"},
    {"os-release.txt", "NAME=\"Debian GNU/Linux\"\nID=debian\nID_LIKE=ubuntu\n"},
    {"Pmset.txt", "the word zantrousers stays\n"},
    {"ACPI/DSDT.aml", "DSDT" + QByteArray(60, '\x11')},
    {"dmi.txt", "To Be Filled By O.E.M. Default string 000000000000 abc ffffffffffff root\n"},
};

QStringList holding(const QByteArray& content, const QByteArray& value)
{
    QStringList spellings;
    for (const QString& cased : {QString::fromUtf8(value), QString::fromUtf8(value).toUpper(), QString::fromUtf8(value).toLower()})
        for (const QByteArray& spelling : {cased.toUtf8(), cased.toLatin1(), utf16le(cased)})
            if (content.contains(spelling))
                spellings << QString::fromLatin1(spelling.toHex());
    return spellings;
}

} // namespace

// Identifiers a Linux machine spreads in its own shapes, planted in a copy of a real machine's
// sysfs, and the firmware's and devices' own in every spelling: masking and audit leave none.
TEST(PrivacyAudit, NoPlantedIdentifierIsLeftInAnySpellingAndLookAlikesStay)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("machine"));
    const QString root = extractSysfsCapture(dir.filePath("machine"));
    for (const auto& [path, content] : kBelowMachineRoot)
        writeFile(root + "/" + path, content);
    const QString work = dir.filePath("SendToZantro_Work");
    for (const Leak& leak : kLeaks)
        writeFile(work + "/" + leak.file, readFile(work + "/" + leak.file) + leak.text);
    for (const auto& [file, text] : kKept)
        writeFile(work + "/" + file, readFile(work + "/" + file) + text);
    QFile::link("/home/zantrouser/secret", work + "/link-to-home");

    LibplistPropertyListService propertyLists;
    FolderSanitizing sanitized = sanitizeDirectory(propertyLists, work);
    std::vector<MachineIdentifier> candidates = LinuxMachineIdentifierSource(root).identifiers();
    candidates.insert(candidates.end(), sanitized.configuredIdentifiers.begin(), sanitized.configuredIdentifiers.end());
    candidates.insert(candidates.end(), {{IdentifierKind::MACAddress, "52:54:00:12:ab:cd"}, {IdentifierKind::DeviceSerial, "QM00001STICK"},
                                         {IdentifierKind::LoginName, "zantrouser"}, {IdentifierKind::HostName, "workbench-17"},
                                         {IdentifierKind::SerialNumber, "To Be Filled By O.E.M."}, {IdentifierKind::SerialNumber, "Default string"},
                                         {IdentifierKind::SerialNumber, "000000000000"}, {IdentifierKind::SerialNumber, "abc"},
                                         {IdentifierKind::MACAddress, "00:00:00:00:00:00"}, {IdentifierKind::MACAddress, "ff:ff:ff:ff:ff:ff"},
                                         {IdentifierKind::LoginName, "root"}});
    // The firmware's serial number and UUID as the registry's platform entry holds them.
    auto registry = std::make_shared<TreeRegistryNode>();
    registry->addChild(kIOServicePlane, "Linux", "IOPlatformExpertDevice", {{"IOPlatformSerialNumber", "C02N42J7G3QC"},
                       {"IOPlatformUUID", "4C4C4544-0042-3510-8052-B4C04F333732"}, {"model", QByteArray("Mini\0", 5)}});
    for (const MachineIdentifier& identifier : identifiersFromRegistry(TreeRegistry(registry)))
        candidates.push_back(identifier);
    PrivacyAudit audit(candidates);
    const PrivacyAuditResult result = audit.run(work);
    const QString report = privacyAuditReport(result, *audit.identifiers());

    for (const Leak& leak : kLeaks) {
        for (const QByteArray& value : leak.values) {
            for (const QString& file : filesBelow(work))
                EXPECT_EQ(holding(readFile(file), value), QStringList()) << file.toStdString() << " keeps " << value.toStdString();
            EXPECT_EQ(holding(report.toUtf8(), value), QStringList()) << "the report keeps " << value.toStdString();
        }
    }
    for (const auto& [file, text] : kKept)
        EXPECT_TRUE(readFile(work + "/" + file).contains(text)) << readFile(work + "/" + file).toStdString();
    // Masked where it stood, in its own encoding: the Latin-1 byte is still there.
    EXPECT_EQ(readFile(work + "/Registry.txt"), "<!-- r\xe9glages --><key>ChassisSerialNumber</key><string>XX-MASKED-XX</string>\n");
    // What cannot be masked in place leaves the package, with nothing left beside it.
    EXPECT_EQ(result.withheldFiles.keys(), QStringList({".hidden", "binary.bin", "link-to-home", "utf16-serial.txt", "utf16.txt"}));
    EXPECT_FALSE(QFileInfo(work + "/link-to-home").isSymLink());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({"SendToZantro_Work", "machine"}));
    EXPECT_TRUE(report.contains("\nUUID: 3 value(s) checked, 2 occurrence(s) masked\n    journal.txt: 2\nMAC address: ")) << report.toStdString();
    EXPECT_TRUE(report.contains("\n    binary.bin (UUID)\n")
                && report.contains("MSDM tables cleaned (Windows product key removed): 1\n    ACPI/MSDM.aml\n"));
    EXPECT_TRUE(result.logLines.contains("WARNING: privacy audit left binary.bin out of the archive: it holds a UUID of this machine "
                                         "that cannot be masked in place."));
}

TEST(MsdmTable, KeyBecomesXAndTheChecksumStillSumsToZero)
{
    const QByteArray table = msdmTable();
    EXPECT_EQ(msdmProductKey(table), kProductKey);
    QByteArray cleaned = table;
    ASSERT_TRUE(removeMsdmProductKey(cleaned));
    EXPECT_EQ(cleaned.left(9) + cleaned.mid(10, 46) + cleaned.mid(56), table.left(9) + table.mid(10, 46) + QByteArray(29, 'X'));
    EXPECT_EQ(checksum(cleaned), 0);
    // Too short for a key, or not an MSDM table: left alone.
    QByteArray shortTable = table.left(4) + char(60) + table.mid(5, 55), dsdt = "DSDT" + table.mid(4);
    EXPECT_FALSE(removeMsdmProductKey(shortTable) || removeMsdmProductKey(dsdt));
    EXPECT_EQ(dsdt.mid(56, 29), kProductKey);
}

TEST(MultiPatternSearch, FindsOverlappingPatternsInAnyCase)
{
    MultiPatternSearch search;
    for (const char* pattern : {"abcd", "bc", "cdx"})
        search.addPattern(pattern);
    search.build();
    std::vector<std::pair<int, qsizetype>> found;
    for (const auto& match : search.findAll("xxABCDX bc"))
        found.emplace_back(match.pattern, match.start);
    EXPECT_EQ(found, (std::vector<std::pair<int, qsizetype>>{{1, 3}, {0, 2}, {2, 4}, {1, 8}}));
}

TEST(IdentifierSet, MasksWholeTokensOnly)
{
    const IdentifierSet set({{IdentifierKind::LoginName, "alice"}, {IdentifierKind::MACAddress, "02:fc:00:00:00:01"},
                             {IdentifierKind::SerialNumber, "QM00001STICK"}});
    std::vector<int> counts;
    const QString masked = maskIdentifiersInText(
        "home=/home/alice/Desktop malice Alicetown ALICE\nmac 02FC00000001 02-FC-00-00-00-01 x02fc00000001y\nserial=qm00001stick", set, &counts);
    EXPECT_EQ(masked, "home=/home/XX-MASKED-XX/Desktop malice Alicetown XX-MASKED-XX\n"
                      "mac XX:XX:XX:XX:XX:XX XX:XX:XX:XX:XX:XX x02fc00000001y\nserial=XX-MASKED-XX");
    EXPECT_EQ(counts, (std::vector<int>{2, 2, 1}));
}
