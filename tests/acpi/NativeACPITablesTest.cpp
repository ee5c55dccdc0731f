#include "acpi/NativeACPITables.h"

#include "registry/IoregTextLoader.h"
#include "registry/TreeRegistry.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

namespace velkor {
namespace {

using testing::readFile;
using testing::writeFile;

// A table: signature, the header's length field, then filler up to size bytes.
QByteArray table(const char* signature, quint32 declaredLength, qsizetype size, char fill = 'x')
{
    QByteArray blob(size, fill);
    blob.replace(0, 4, QByteArray(signature, 4));
    qToLittleEndian<quint32>(declaredLength, blob.data() + 4);
    return blob;
}

class NativeACPITablesTest : public ::testing::Test {
protected:
    QStringList written() const { return QDir(acpi.path()).entryList(QDir::Files, QDir::Name); }
    QByteArray file(const QString& name) const { return readFile(acpi.filePath(name)); }
    int supplement() { return extractNativeACPITablesIfNeeded(&registry, acpi.path()); }

    QTemporaryDir acpi;
    std::shared_ptr<TreeRegistryNode> root = std::make_shared<TreeRegistryNode>();
    TreeRegistry registry{root};
};

TEST_F(NativeACPITablesTest, ATableIsWrittenOnceAndWhatIsThereIsNeverReplaced)
{
    const QByteArray dsdt = table("DSDT", 60, 60);
    auto platform = root->addChild(kIOServicePlane, "platform", "IOPlatformExpertDevice",
                                   {{"ACPI Tables", QVariantMap{{"DSDT", dsdt}, {"SSDT", table("SSDT", 40, 40, 'a')},
                                                                {"SSDT-1", table("SSDT", 40, 40, 'b')}}}});
    root->deviceTreeChildren.push_back(platform); // found in both planes
    // Patchmatic wrote the two SSDTs under its own names already.
    writeFile(acpi.filePath("SSDT.aml"), table("SSDT", 40, 40, 'a'));
    writeFile(acpi.filePath("SSDT-1.aml"), table("SSDT", 40, 40, 'b'));
    EXPECT_EQ(supplement(), 1);
    EXPECT_EQ(written(), QStringList({"DSDT.aml", "SSDT-1.aml", "SSDT.aml"}));
    EXPECT_EQ(file("DSDT.aml"), dsdt);

    writeFile(acpi.filePath("DSDT.aml"), "from patchmatic");
    EXPECT_EQ(supplement(), 0);
    EXPECT_EQ(file("DSDT.aml"), "from patchmatic");

    // A link under a table's name is left alone and nothing is written through it.
    root->properties = {{"SLIC", table("SLIC", 36, 36)}};
    QFile::link(acpi.filePath("victim"), acpi.filePath("SLIC.aml"));
    EXPECT_EQ(supplement(), 0);
    EXPECT_FALSE(QFileInfo::exists(acpi.filePath("victim")));
    EXPECT_EQ(extractNativeACPITablesIfNeeded(&registry, acpi.filePath("missing")), 0);
    EXPECT_EQ(extractNativeACPITablesIfNeeded(nullptr, acpi.path()), 0);
}

TEST_F(NativeACPITablesTest, NumbersTablesOfOneSignatureAndSkipsExistingNames)
{
    const QByteArray first = table("SSDT", 40, 40, 'a');
    const QByteArray third = table("SSDT", 40, 40, 'c');
    auto a = root->addChild(kIODeviceTreePlane, "a", {}, {{"SSDT", first}});
    auto b = root->addChild(kIODeviceTreePlane, "b", {}, {{"SSDT", table("SSDT", 40, 40, 'b')}});
    root->addChild(kIODeviceTreePlane, "c", {}, {{"SSDT", third}});
    root->serviceChildren = {a, b}; // found again in the other plane: no new number
    root->addChild(kIOServicePlane, "apics", {},
                   {{"APIC", table("APIC", 44, 44, '1')}, {"ACPI Tables", QVariantMap{{"APIC2", table("APIC", 44, 44, '2')}}}});
    writeFile(acpi.filePath("SSDT-02.aml"), "kept");

    EXPECT_EQ(supplement(), 4);
    EXPECT_EQ(written(), (QStringList{"APIC-02.aml", "APIC.aml", "SSDT-01.aml", "SSDT-02.aml", "SSDT-03.aml"}));
    EXPECT_EQ(file("SSDT-01.aml"), first);
    EXPECT_EQ(file("SSDT-02.aml"), "kept");
    EXPECT_EQ(file("SSDT-03.aml"), third);
    // "ACPI Tables" comes before "APIC" in the entry's property order.
    EXPECT_EQ(file("APIC.aml"), table("APIC", 44, 44, '2'));
    EXPECT_EQ(file("APIC-02.aml"), table("APIC", 44, 44, '1'));
}

// Tables are found under any property name and one level down in dictionaries, filed under
// their own signature when it is a wanted one, and only when the header's length fits.
TEST_F(NativeACPITablesTest, TakesOnlyWantedTablesWithAPlausibleHeader)
{
    root->properties = {
        {"dsdt", table("SSDT", 36, 36)},                    // lower-case name of a wanted table
        {"FACP", table("OEMX", 36, 36)},                    // unwanted signature under a wanted name
        {"vendor-blob", table("OEMY", 36, 36)},             // neither wanted
        {"APIC", table("SsDT", 36, 36)},                    // lower-case letter in the signature
        {"ECDT", table("EC\xc3\xa9", 36, 36)},              // signature not ASCII
        {"HPET", table("HPET", 44, 40)},                    // shorter than its header says
        {"MCFG", table("MCFG", 44, 100)},                   // longer: written whole
        {"WAET", table("WAET", 36, 35)},                    // shorter than a header
        {"SRAT", table("SRAT", 35, 50)},                    // declares less than a header
        {"ACPI Tables", QVariantMap{{"FACS", table("FACS", 64, 64)}, {"note", "text"},
                                    {"deeper", QVariantMap{{"HEST", table("HEST", 36, 36)}}}}},
        {"list", QVariantList{table("BERT", 36, 36)}},
        {"number", qint64(5)},
    };
    root->addChild(kIOServicePlane, "dev", {}, {{"name", "dev"}, {"reg", QByteArray(64, '\1')}});
    // Two links back to the entry itself: the walk still ends.
    root->serviceChildren.push_back(root);
    root->serviceChildren.push_back(root);
    EXPECT_EQ(supplement(), 4);
    root->serviceChildren.clear();
    EXPECT_EQ(written(), (QStringList{"FACS.aml", "MCFG.aml", "OEMX.aml", "SSDT-01.aml"}));
    EXPECT_EQ(file("MCFG.aml").size(), 100);

    EXPECT_TRUE(acpiTableHeaderLooksValid(table("ASF!", 36, 36), "ASF!"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(table("SSDT", 0xFFFFFFFF, 40), "SSDT"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(table("SSDT", 36, 36), "SSD_"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(QByteArray("SSDT"), "SSDT"));
}

TEST_F(NativeACPITablesTest, WritesTheTablesOfTheMacBookProRegistry)
{
    const auto saved = loadIoregTextFile(testing::testData("registry/macbookpro11-2-ioreg.txt"));
    EXPECT_EQ(extractNativeACPITablesIfNeeded(saved.get(), acpi.path()), 19);
    EXPECT_EQ(written(), QStringList({"APIC.aml", "DMAR.aml", "DSDT.aml", "ECDT.aml", "FACP.aml", "FACS.aml", "HPET.aml", "MCFG.aml",
                                      "SBST.aml", "SSDT-01.aml", "SSDT-02.aml", "SSDT-03.aml", "SSDT-04.aml", "SSDT-05.aml",
                                      "SSDT-06.aml", "SSDT-07.aml", "SSDT-08.aml", "SSDT-09.aml", "XSDT.aml"}));
    for (const QString& name : written())
        EXPECT_EQ(QString::fromLatin1(file(name).left(4)), name.left(4)) << name.toStdString();
    EXPECT_EQ(file("DSDT.aml").size(), 0x6bec);
}

} // namespace
} // namespace velkor

using namespace velkor;
using namespace velkor::testing;

TEST(ACPITableFiles, DirectEntriesOfAnyKindWithTheExtensionInAnyCase)
{
    QTemporaryDir folder;
    for (const char* name : {"a.aml", "B.AML", ".hidden.aml", "x.aml.txt", "aml", ".aml", "sub/c.aml"})
        writeFile(folder.filePath(name), "x");
    QDir().mkpath(folder.filePath("dir.aml"));
    QFile::link(folder.filePath("gone"), folder.filePath("link.Aml"));
    EXPECT_EQ(acpiTableFiles(folder.path()), QStringList({".hidden.aml", "B.AML", "a.aml", "dir.aml", "link.Aml"}));
    EXPECT_EQ(acpiTableFiles(folder.filePath("missing")), QStringList());
    EXPECT_EQ(acpiTableFiles(folder.filePath("a.aml")), QStringList());
}
