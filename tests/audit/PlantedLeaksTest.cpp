// Identifiers a Linux machine spreads through a package in its own shapes, planted in a copy
// of a real machine's sysfs: the masking and the audit together leave none of them, and keep
// the values that only look like identifiers.
#include "audit/PrivacyAudit.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "platform/linux/LinuxMachineIdentifiers.h"
#include "privacy/Sanitizer.h"
#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

struct Plant {
    const char* path;    // below the machine's root
    QByteArray content;
};

struct Leak {
    const char* file;     // in the package
    QByteArray text;      // what the package says
    QByteArray value;     // must not be left in it
};

const Plant kPlants[] = {
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

// A bootloader configuration that is not UTF-8, with the identity keys the ten rules miss.
const QByteArray kLatin1Config = "<plist><dict><!-- r\xe9glages -->\n"
                                 "<key>ChassisSerialNumber</key><string>C02CHASSIS77Q</string>\n"
                                 "<key>4D1EDE05-38C7-4A6A-9CC6-4BCCA8B38C14:MLB</key><string>C02MLB0123456789A</string>\n"
                                 "<key>ROM</key><data>ESIzRFVm</data>\n"
                                 "</dict></plist>\n";

const Leak kLeaks[] = {
    {"OC-config.plist", kLatin1Config, "C02CHASSIS77Q"},
    {"OC-config.plist", "", "C02MLB0123456789A"},
    {"Registry.txt", "<!-- r\xe9glages --><key>ChassisSerialNumber</key><string>C02CHASSIS77Q</string>\n", "C02CHASSIS77Q"},
    {"nvram.txt", "4D1EDE05-38C7-4A6A-9CC6-4BCCA8B38C14:MLB\tC02MLB0123456789A\nfw 112233445566\n", "C02MLB0123456789A"},
    {"nvram.txt", "", "112233445566"},
    {"SysDump-Zantro.spx", "<string>enx8c1645123456</string>", "8c1645123456"},
    {"bootlog.txt", "r8152 2-1:1.0 enx8c1645123456: renamed from eth0\n", "8c1645123456"},
    {"Bootargs.txt", "root=/dev/mapper/smith--laptop--vg-root ro quiet\n", "smith--laptop"},
    {"network.txt", "inet6 fe80::8e16:45ff:fe12:3456/64 scope link\n", "8e16:45ff:fe12:3456"},
    {"bluetooth.log", "Controller 5C:F3:70:AB:CD:EF\n/org/bluez/hci0/dev_11_22_33_44_55_66\n", "11_22_33_44_55_66"},
    {"bluetooth.log", "", "5C:F3:70:AB:CD:EF"},
    {"disks.txt", "ID_SERIAL_SHORT=S3Z9NB0K123456X\n", "S3Z9NB0K123456X"},
    {"journal.txt", "_MACHINE_ID=3f1c9a7b2d4e4f5a8b6c7d8e9f0a1b2c\n-- Boot 8d2b5f0e4c1a4e7b9a3d6f5e4d3c2b1a --\n", "3f1c9a7b2d4e4f5a8b6c7d8e9f0a1b2c"},
    {"journal.txt", "", "8d2b5f0e4c1a4e7b9a3d6f5e4d3c2b1a"},
    {"wifi.txt", "Connected to «Café de Flore»\n", "Café de Flore"},
    {"users.txt", "Owner: “John Smith”\nHOME=/srv/people/js-home/Desktop\n", "John Smith"},
    {"users.txt", "", "/srv/people/js-home"},
    {".hidden.log", "link enx8c1645123456 up\n", "8c1645123456"},
    {"utf16.txt", QByteArray("S\0M\0B\0I\0O\0S\0:\0 \0S\0\063\0Z\0\071\0N\0B\0\060\0K\0\061\0\062\0\063\0\064\0\065\0\066\0X\0", 46), "S3Z9NB0K123456X"},
};

// Texts the package must keep as they are: PCI addresses (a root hub's "serial") and the OS's
// own names used as login names of this machine.
const Leak kKept[] = {
    {"bootlog.txt", "xhci_hcd 0000:00:14.0: xHCI Host Controller\n", "xhci_hcd 0000:00:14.0: xHCI Host Controller"},
    {"os-release.txt", "NAME=\"Debian GNU/Linux\"\nID=debian\nID_LIKE=ubuntu\n", "NAME=\"Debian GNU/Linux\"\nID=debian\nID_LIKE=ubuntu\n"},
};

bool holds(const QString& folder, const QByteArray& value)
{
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray content = readFile(it.next());
        QByteArray utf16;
        for (const char c : value)
            utf16 += QByteArray(1, c) + QByteArray(1, '\0');
        if (content.toLower().contains(value.toLower()) || content.toLower().contains(QString::fromUtf8(value).toLatin1().toLower())
            || content.toLower().contains(utf16.toLower()))
            return true;
    }
    return false;
}

} // namespace

TEST(PlantedLeaks, AreMaskedOrLeftOutAndValuesThatOnlyLookLikeIdentifiersStay)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("machine"));
    const QString root = extractSysfsCapture(dir.filePath("machine"));
    for (const Plant& plant : kPlants)
        writeFile(root + "/" + plant.path, plant.content);
    const QString work = dir.filePath("work");
    for (const Leak& leak : kLeaks)
        writeFile(work + "/" + leak.file, readFile(work + "/" + leak.file) + leak.text);
    for (const Leak& kept : kKept)
        writeFile(work + "/" + kept.file, readFile(work + "/" + kept.file) + kept.text);

    LibplistPropertyListService propertyLists;
    FolderSanitizing sanitized = sanitizeDirectory(propertyLists, work);
    std::vector<MachineIdentifier> candidates = LinuxMachineIdentifierSource(root).identifiers();
    candidates.insert(candidates.end(), sanitized.configuredIdentifiers.begin(), sanitized.configuredIdentifiers.end());
    PrivacyAudit audit(candidates);
    audit.run(work);

    for (const Leak& leak : kLeaks)
        EXPECT_FALSE(holds(work, leak.value)) << leak.file << " keeps " << leak.value.toStdString();
    for (const Leak& kept : kKept)
        EXPECT_TRUE(readFile(work + "/" + kept.file).contains(kept.value)) << readFile(work + "/" + kept.file).toStdString();
    // Masked where it stood, in its own encoding: the Latin-1 byte is still there.
    EXPECT_EQ(readFile(work + "/Registry.txt"), "<!-- r\xe9glages --><key>ChassisSerialNumber</key><string>XX-MASKED-XX</string>\n");
}
