#include "audit/MsdmTable.h"
#include "audit/PrivacyAudit.h"
#include "platform/MachineIdentifiers.h"
#include "registry/TreeRegistry.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cctype>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QString kSerial = "C02N42J7G3QC";
const QString kUuid = "4C4C4544-0042-3510-8052-B4C04F333732";
const QString kMac = "52:54:00:12:ab:cd";
const QString kStick = "QM00001STICK";
const QString kLogin = "zantrouser";
const QString kHost = "workbench-17";
const QByteArray kProductKey = "ABCDE-FGHIJ-KLMNO-PQRST-UVWXY";

std::vector<MachineIdentifier> plantedIdentifiers()
{
    return {{IdentifierKind::SerialNumber, kSerial}, {IdentifierKind::UUID, kUuid},   {IdentifierKind::MACAddress, kMac},
            {IdentifierKind::DeviceSerial, kStick},  {IdentifierKind::LoginName, kLogin}, {IdentifierKind::HostName, kHost}};
}

QByteArray utf16le(const QString& text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

QByteArray msdmTable()
{
    QByteArray table(85, '\0');
    table.replace(0, 4, "MSDM");
    table[4] = char(85);
    table.replace(56, 29, kProductKey);
    return table;
}

// Every spelling of every planted value, to look for after the audit.
QList<QByteArray> everySpelling()
{
    QList<QByteArray> spellings;
    const QString macDigits = QString(kMac).remove(':');
    for (const QString& value : {kSerial, kUuid, kMac, QString(kMac).replace(':', '-'), macDigits, kStick, kLogin, kHost,
                                 QString::fromLatin1(kProductKey)}) {
        for (const QString& cased : {value, value.toUpper(), value.toLower()}) {
            spellings << cased.toUtf8() << utf16le(cased);
        }
    }
    spellings << kProductKey.toHex();
    return spellings;
}

bool isWordCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c));
}

// Files holding a spelling as a word of its own (a longer word that contains it is fine).
QStringList filesHolding(const QString& folder, const QList<QByteArray>& spellings)
{
    QStringList holding;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray content = readFile(path).toLower();
        for (const QByteArray& spelling : spellings) {
            const QByteArray wanted = spelling.toLower();
            for (qsizetype at = content.indexOf(wanted); at >= 0; at = content.indexOf(wanted, at + 1)) {
                const qsizetype end = at + wanted.size();
                const bool partOfWord = (at > 0 && isWordCharacter(content[at - 1]))
                    || (end < content.size() && isWordCharacter(content[end]));
                if (!partOfWord) {
                    holding << path + " holds " + QString::fromLatin1(spelling.toHex());
                    break;
                }
            }
        }
    }
    return holding;
}

} // namespace

TEST(PrivacyAudit, NoPlantedValueSurvivesInAnySpellingAndShortNamesInWordsStay)
{
    QTemporaryDir dir;
    const QString work = dir.filePath("SendToZantro_Work");
    writeFile(work + "/Pmset.txt", ("serial " + kSerial.toLower() + " uuid " + kUuid.toLower() + "\nmac "
                                    + QString(kMac).remove(':').toUpper() + " host " + kHost + "\npath /home/" + kLogin
                                    + "/Desktop and the word " + kLogin + "s stays\nstick " + kStick + "\n").toUtf8());
    writeFile(work + "/CPUFriend-Dump/data.log", (QString(kMac).replace(':', '-') + "\n").toUtf8());
    writeFile(work + "/utf16.txt", utf16le("serial " + kSerial + "\n"));
    writeFile(work + "/binary.bin", QByteArray("\x01\x02") + kUuid.toUtf8() + QByteArray("\x00\xff", 2));
    writeFile(work + "/ACPI/MSDM.aml", msdmTable());
    writeFile(work + "/ACPI/DSDT.aml", QByteArray("DSDT") + QByteArray(60, '\x11'));
    writeFile(work + "/ioregAPP.txt", "\"MSDM\" = <" + kProductKey.toHex() + ">\n");
    writeFile(work + "/.hidden", kSerial.toUtf8());
    QFile::link("/home/" + kLogin + "/secret", work + "/link-to-home");

    PrivacyAudit audit(plantedIdentifiers());
    const PrivacyAuditResult result = audit.run(work);

    EXPECT_EQ(filesHolding(work, everySpelling()), QStringList());
    EXPECT_TRUE(readText(work + "/Pmset.txt").contains("the word " + kLogin + "s stays"));
    EXPECT_TRUE(readText(work + "/Pmset.txt").contains("path /home/XX-MASKED-XX/Desktop"));
    EXPECT_EQ(readText(work + "/CPUFriend-Dump/data.log"), "XX:XX:XX:XX:XX:XX\n");
    EXPECT_EQ(readFile(work + "/ACPI/DSDT.aml"), QByteArray("DSDT") + QByteArray(60, '\x11'));
    EXPECT_EQ(readFile(work + "/ACPI/MSDM.aml").mid(56, 29), QByteArray(29, 'X'));

    const QStringList withheld = result.withheldFiles.keys();
    EXPECT_EQ(withheld, QStringList({".hidden", "binary.bin", "link-to-home", "utf16.txt"}));
    EXPECT_FALSE(QFileInfo::exists(work + "/binary.bin"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"SendToZantro_Work"});
    EXPECT_FALSE(QFileInfo::exists(work + "/link-to-home"));
    EXPECT_EQ(result.cleanedMsdmTables, QStringList{"ACPI/MSDM.aml"});

    const QString report = privacyAuditReport(result, *audit.identifiers());
    for (const QByteArray& spelling : everySpelling())
        EXPECT_FALSE(report.toUtf8().toLower().contains(spelling.toLower())) << spelling.toStdString();
    EXPECT_TRUE(report.contains("MAC address: 1 value(s) checked, 2 occurrence(s) masked"));
    EXPECT_TRUE(report.contains("    binary.bin (UUID)"));
    EXPECT_TRUE(result.logLines.contains("WARNING: privacy audit left binary.bin out of the archive: it holds a UUID of this machine that cannot be masked in place."));
}

TEST(PrivacyAudit, RegistryPlatformNodeValuesAreLookedFor)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->addChild(kIOServicePlane, "Linux", "IOPlatformExpertDevice",
                   {{"IOPlatformSerialNumber", kSerial}, {"IOPlatformUUID", kUuid}, {"model", QByteArray("Mini\0", 5)}});
    const TreeRegistry registry(root);
    const auto found = identifiersFromRegistry(registry);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].value, kSerial);
    EXPECT_EQ(found[1].kind, IdentifierKind::UUID);
}
