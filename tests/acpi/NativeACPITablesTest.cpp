#include "acpi/NativeACPITables.h"

#include "registry/RegistryProperties.h"
#include "registry/TreeRegistry.h"
#include "registry/IoregTextLoader.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velkor {
namespace {

using testing::readFile;
using testing::testData;
using testing::writeFile;

// A table: signature, the header's length field, then filler up to size bytes.
QByteArray table(const char* signature, quint32 declaredLength, qsizetype size, char fill = 'x')
{
    QByteArray blob(size, fill);
    blob.replace(0, 4, QByteArray(signature, 4));
    blob.replace(4, 4, littleEndianBytes(declaredLength));
    return blob.left(size);
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

TEST_F(NativeACPITablesTest, ATableInBothPlanesIsWrittenOnceAndNeverReplaced)
{
    const QByteArray dsdt = table("DSDT", 60, 60);
    auto platform = root->addChild(kIOServicePlane, "platform", "IOPlatformExpertDevice",
                                   {{"ACPI Tables", QVariantMap{{"DSDT", dsdt}}}});
    root->deviceTreeChildren.push_back(platform);

    EXPECT_EQ(supplement(), 1);
    EXPECT_EQ(written(), QStringList{"DSDT.aml"});
    EXPECT_EQ(file("DSDT.aml"), dsdt);

    writeFile(acpi.filePath("DSDT.aml"), "from patchmatic");
    EXPECT_EQ(supplement(), 0);
    EXPECT_EQ(file("DSDT.aml"), "from patchmatic");
}

TEST_F(NativeACPITablesTest, TablesPatchmaticWroteUnderItsOwnNamesAreNotWrittenAgain)
{
    const QByteArray first = table("SSDT", 40, 40, 'a');
    const QByteArray second = table("SSDT", 40, 40, 'b');
    root->addChild(kIOServicePlane, "platform", "IOPlatformExpertDevice",
                   {{"ACPI Tables", QVariantMap{{"SSDT", first}, {"SSDT-1", second}}}});
    writeFile(acpi.filePath("SSDT.aml"), first);
    writeFile(acpi.filePath("SSDT-1.aml"), second);
    ASSERT_EQ(::mkfifo(QFile::encodeName(acpi.filePath("x.aml")).constData(), 0600), 0); // never read: it would block

    EXPECT_EQ(supplement(), 0);
    EXPECT_EQ(written(), QStringList({"SSDT-1.aml", "SSDT.aml"}));
}

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

TEST_F(NativeACPITablesTest, NumbersTablesOfOneSignatureAndSkipsExistingNames)
{
    const QByteArray first = table("SSDT", 40, 40, 'a');
    const QByteArray second = table("SSDT", 40, 40, 'b');
    const QByteArray third = table("SSDT", 40, 40, 'c');
    auto a = root->addChild(kIODeviceTreePlane, "a", {}, {{"SSDT", first}});
    auto b = root->addChild(kIODeviceTreePlane, "b", {}, {{"SSDT", second}});
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

    // Only the two SSDTs that were not there count.
    QDir(acpi.path()).removeRecursively();
    QDir().mkpath(acpi.path());
    writeFile(acpi.filePath("SSDT-02.aml"), "kept");
    root->serviceChildren.clear();
    EXPECT_EQ(supplement(), 2);
}

TEST_F(NativeACPITablesTest, FilesABlobUnderItsOwnSignature)
{
    root->properties = {
        {"dsdt", table("SSDT", 36, 36)},             // lower-case name of a wanted table
        {"FACP", table("OEMX", 36, 36)},             // unwanted signature under a wanted name
        {"vendor-blob", table("OEMY", 36, 36)},      // neither wanted
        {"APIC", table("SsDT", 36, 36)},             // lower-case letter in the signature
        {"ECDT", table("EC\xc3\xa9", 36, 36)},       // signature not ASCII
    };
    EXPECT_EQ(supplement(), 2);
    EXPECT_EQ(written(), (QStringList{"OEMX.aml", "SSDT-01.aml"}));
}

TEST_F(NativeACPITablesTest, ChecksTheHeaderLength)
{
    root->addChild(kIOServicePlane, "short", {}, {{"HPET", table("HPET", 44, 40)}});
    root->addChild(kIOServicePlane, "long", {}, {{"MCFG", table("MCFG", 44, 100)}});
    root->addChild(kIOServicePlane, "tiny", {}, {{"WAET", table("WAET", 36, 35)}});
    root->addChild(kIOServicePlane, "below", {}, {{"SRAT", table("SRAT", 35, 50)}});
    EXPECT_EQ(supplement(), 1);
    EXPECT_EQ(written(), QStringList{"MCFG.aml"});
    EXPECT_EQ(file("MCFG.aml").size(), 100); // written whole, beyond the declared length

    EXPECT_TRUE(acpiTableHeaderLooksValid(table("ASF!", 36, 36), "ASF!"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(table("SSDT", 0xFFFFFFFF, 40), "SSDT"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(table("SSDT", 36, 36), "SSD"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(table("SSDT", 36, 36), "SSD_"));
    EXPECT_FALSE(acpiTableHeaderLooksValid(QByteArray("SSDT"), "SSDT"));
}

TEST_F(NativeACPITablesTest, LooksInPropertiesAndOneLevelOfDictionariesOnly)
{
    root->properties = {
        {"ACPI Tables", QVariantMap{{"FACS", table("FACS", 64, 64)}, {"note", "text"},
                                    {"deeper", QVariantMap{{"HEST", table("HEST", 36, 36)}}}}},
        {"list", QVariantList{table("BERT", 36, 36)}},
        {"number", qint64(5)},
    };
    EXPECT_EQ(supplement(), 1);
    EXPECT_EQ(written(), QStringList{"FACS.aml"});
}

TEST_F(NativeACPITablesTest, TheBudgetLimitsChildrenAndDepth)
{
    // With budget 3 the root visits its first child with 2 and its second with 1; the child
    // visited with 2 visits only its first child; an entry visited with 1 skips its children.
    auto c1 = root->addChild(kIOServicePlane, "c1", {}, {{"SSDT", table("SSDT", 36, 36, '1')}});
    c1->addChild(kIOServicePlane, "g1", {}, {{"SSDT", table("SSDT", 36, 36, '2')}});
    c1->addChild(kIOServicePlane, "g2", {}, {{"SSDT", table("SSDT", 36, 36, '3')}});
    auto c2 = root->addChild(kIOServicePlane, "c2", {}, {{"SSDT", table("SSDT", 36, 36, '4')}});
    c2->addChild(kIOServicePlane, "g3", {}, {{"SSDT", table("SSDT", 36, 36, '5')}});
    root->addChild(kIOServicePlane, "c3", {}, {{"SSDT", table("SSDT", 36, 36, '6')}});

    ACPITableCollection collected;
    collectACPITables(*registry.rootEntry(), kIOServicePlane, wantedACPISignatures(), collected, 3);
    ASSERT_EQ(collected.size(), 1u);
    const QList<QByteArray> expected{table("SSDT", 36, 36, '1'), table("SSDT", 36, 36, '2'), table("SSDT", 36, 36, '4')};
    EXPECT_EQ(collected["SSDT"], expected);

    // Other planes are not walked.
    collected.clear();
    collectACPITables(*registry.rootEntry(), kIODeviceTreePlane, wantedACPISignatures(), collected, 3);
    EXPECT_TRUE(collected.empty());
}

TEST_F(NativeACPITablesTest, NothingToDoAndFailedWritesCountNothing)
{
    EXPECT_EQ(extractNativeACPITablesIfNeeded(nullptr, acpi.path()), 0);
    root->addChild(kIOServicePlane, "dev", {}, {{"name", "dev"}, {"reg", QByteArray(64, '\1')}});
    EXPECT_EQ(supplement(), 0);
    EXPECT_TRUE(QDir(acpi.path()).isEmpty());

    root->properties = {{"DSDT", table("DSDT", 36, 36)}};
    EXPECT_EQ(extractNativeACPITablesIfNeeded(&registry, acpi.filePath("missing")), 0);
    EXPECT_EQ(extractNativeACPITablesIfNeeded(&registry, acpi.path()), 1);

    // A link under a table's name is left alone and nothing is written through it.
    root->properties = {{"SLIC", table("SLIC", 36, 36)}};
    QFile::link(acpi.filePath("victim"), acpi.filePath("SLIC.aml"));
    EXPECT_EQ(supplement(), 0);
    EXPECT_FALSE(QFileInfo::exists(acpi.filePath("victim")));
}

TEST_F(NativeACPITablesTest, WritesTheTablesOfTheMacBookProRegistry)
{
    const auto saved = loadIoregTextFile(testData("registry/macbookpro11-2-ioreg.txt"));
    EXPECT_EQ(extractNativeACPITablesIfNeeded(saved.get(), acpi.path()), 19);
    const QStringList expected{"APIC.aml",    "DMAR.aml",    "DSDT.aml",    "ECDT.aml",    "FACP.aml",
                               "FACS.aml",    "HPET.aml",    "MCFG.aml",    "SBST.aml",    "SSDT-01.aml",
                               "SSDT-02.aml", "SSDT-03.aml", "SSDT-04.aml", "SSDT-05.aml", "SSDT-06.aml",
                               "SSDT-07.aml", "SSDT-08.aml", "SSDT-09.aml", "XSDT.aml"};
    EXPECT_EQ(written(), expected);
    for (const QString& name : expected) {
        const QByteArray blob = file(name);
        ASSERT_GE(blob.size(), 36) << name.toStdString();
        EXPECT_EQ(QString::fromLatin1(blob.left(4)), name.left(4)) << name.toStdString();
        EXPECT_LE(littleEndianValue(blob.mid(4, 4)), quint32(blob.size())) << name.toStdString();
    }
    EXPECT_EQ(file("DSDT.aml").size(), 0x6bec);
}

} // namespace
} // namespace velkor
