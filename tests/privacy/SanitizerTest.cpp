#include "base/CollectorError.h"
#include "base/LogSink.h"
#include "steps/StepContext.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "privacy/Sanitizer.h"
#include "privacy/TextMasking.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

using testing::readFile;
using testing::readText;
using testing::writeFile;

const QByteArray kUuid = "4C4C4544-0042-3510-8052-B4C04F4D3732";
const QByteArray kUuidLine = "id " + kUuid + "\n";
const QByteArray kMaskedUuidLine = "id XX-MASKED-UUID\n";

class Sanitizer : public ::testing::Test {
protected:
    QString path(const QString& relative) const { return root.filePath(relative); }
    QString put(const QString& relative, const QByteArray& bytes)
    {
        const QString file = path(relative);
        QDir().mkpath(QFileInfo(file).path());
        writeFile(file, bytes);
        return file;
    }

    QTemporaryDir root;
    LibplistPropertyListService propertyLists;
};

// An OpenCore-style configuration as a binary property list, identifiers under keys in
// several cases.
QByteArray binaryConfig()
{
    plist_t generic = plist_new_dict();
    plist_dict_set_item(generic, "MLB", plist_new_string("C02733100J9JG36A8"));
    plist_dict_set_item(generic, "rom", plist_new_data("\x11\x22\x33\x44\x55\x66", 6));
    plist_dict_set_item(generic, "SYSTEMSERIALNUMBER", plist_new_string("C02XG0FDH7JY"));
    plist_dict_set_item(generic, "SystemUUID", plist_new_string("A1B2C3D4-E5F6-4711-8899-AABBCCDDEEFF"));
    plist_dict_set_item(generic, "SystemProductName", plist_new_string("iMac18,3"));
    plist_t platformInfo = plist_new_dict();
    plist_dict_set_item(platformInfo, "Generic", generic);
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "PlatformInfo", platformInfo);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    QByteArray result(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    plist_free(root);
    return result;
}

TEST_F(Sanitizer, BinaryConfigBecomesXmlWithIdentifiersMasked)
{
    const QByteArray binary = binaryConfig();
    ASSERT_TRUE(binary.startsWith("bplist00"));
    const QString file = put("OC-config.plist", binary);
    sanitizeTextLikeFile(propertyLists, file);
    const QString xml = readText(file);
    EXPECT_TRUE(xml.startsWith("<?xml")) << xml.toStdString();
    for (const char* key : {"MLB", "rom", "SYSTEMSERIALNUMBER", "SystemUUID"})
        EXPECT_TRUE(xml.contains(QRegularExpression(QStringLiteral("<key>%1</key>\\s*<(string|data)>XX-MASKED-XX</").arg(key))))
            << key << " in " << xml.toStdString();
    for (const char* secret : {"C02733100J9JG36A8", "ESIzRFVm", "C02XG0FDH7JY", "A1B2C3D4"})
        EXPECT_FALSE(xml.contains(secret)) << secret;
    EXPECT_TRUE(xml.contains("<string>iMac18,3</string>"));
}

TEST_F(Sanitizer, TextFileIsMaskedAndRewrittenEvenWhenNothingChanges)
{
    const QString text = put("bootlog.txt", "Serial Number (system): C02XG0FDH7JY\n");
    const QString plain = put("notes.log", "nothing to mask\n");
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-3);
    QFile plainFile(plain);
    ASSERT_TRUE(plainFile.open(QIODevice::ReadWrite) && plainFile.setFileTime(old, QFileDevice::FileModificationTime));
    plainFile.close();

    const QString bom = put("bom.txt", "\xef\xbb\xbf" + kUuidLine);

    sanitizeTextLikeFile(propertyLists, text);
    sanitizeTextLikeFile(propertyLists, plain);
    sanitizeTextLikeFile(propertyLists, bom);
    EXPECT_EQ(readFile(text), "Serial Number (system): XX-MASKED-XX-MASKED-XX\n");
    EXPECT_EQ(readFile(bom), "\xef\xbb\xbf" + kMaskedUuidLine) << "the byte-order mark stays";
    EXPECT_EQ(readFile(plain), "nothing to mask\n");
    EXPECT_GT(QFileInfo(plain).lastModified(), old.addDays(1));
}

TEST_F(Sanitizer, XmlThatIsNoPropertyListIsMaskedAsItStands)
{
    const QString file = put("SysDump.xml", "<config>\n  <mac>00:1A:2b:3C:4d:5E</mac>\n</config>\n");
    sanitizeTextLikeFile(propertyLists, file);
    EXPECT_EQ(readFile(file), "<config>\n  <mac>XX:XX:XX:XX:XX:XX</mac>\n</config>\n");
}

// Every text is masked in the encoding it came in; bytes outside a match come back as they were.
TEST_F(Sanitizer, EveryTextEncodingIsMaskedAndWrittenBackInIt)
{
    const auto wide = [](const QByteArray& mark, const QByteArray& ascii, bool bigEndian) {
        QByteArray bytes = mark;
        for (const char c : ascii)
            bytes += bigEndian ? QByteArray(1, '\0') + c : QByteArray(1, c) + QByteArray(1, '\0');
        return bytes;
    };
    const struct {
        const char* name;
        QByteArray before;
        QByteArray after;
    } cases[] = {
        {"utf16-mark.txt", wide("\xff\xfe", kUuidLine, false), wide("\xff\xfe", kMaskedUuidLine, false)},
        {"utf16-big-endian-no-mark.log", wide("", kUuidLine, true), wide("", kMaskedUuidLine, true)},
        {"latin1.log", "caf\xe9 " + kUuidLine, "caf\xe9 " + kMaskedUuidLine},
        {"overlong.txt", "\xc0\xaf " + kUuidLine, "\xc0\xaf " + kMaskedUuidLine},
    };
    for (const auto& c : cases) {
        const QString file = put(c.name, c.before);
        EXPECT_TRUE(sanitizeTextLikeFile(propertyLists, file).masked);
        EXPECT_EQ(readFile(file), c.after) << c.name;
    }
    // What cannot be read leaves the package (root reads everything).
    const QString unreadable = put("unreadable.txt", kUuidLine);
    ::chmod(QFile::encodeName(unreadable).constData(), 0);
    if (::geteuid() != 0) {
        EXPECT_FALSE(sanitizeTextLikeFile(propertyLists, unreadable).masked);
        EXPECT_FALSE(QFileInfo::exists(unreadable));
    }
}

TEST_F(Sanitizer, FileThatCannotBeMaskedIsReplacedByANote)
{
    const QString file = put("ioregAPP.txt", kUuidLine);
    sanitizeTextLikeFile(propertyLists, file, [](QString) { return std::nullopt; });
    EXPECT_EQ(readText(file), kUnmaskableTextNote);
}

TEST_F(Sanitizer, DirectoryWalkMasksTextLikeFilesOnly)
{
    put("ioreg.txt", kUuidLine);
    put("Portwright.kext/Contents/Info.plist", "<plist><dict><key>IOPlatformUUID</key><string>X</string></dict></plist>");
    put("CPUFriend-Dump/deep/er/run.LOG", kUuidLine);
    put("Dossier été/it's \"quoted\" name.txt", kUuidLine);
    put("ACPI/DSDT.aml", kUuidLine);
    put("tool.command", kUuidLine);
    put("noextension", kUuidLine);
    put(".hidden.txt", kUuidLine);

    sanitizeDirectory(propertyLists, root.path());

    EXPECT_EQ(readFile(path("ioreg.txt")), kMaskedUuidLine);
    EXPECT_TRUE(readText(path("Portwright.kext/Contents/Info.plist")).contains("<string>XX-MASKED-XX</string>"));
    EXPECT_EQ(readFile(path("CPUFriend-Dump/deep/er/run.LOG")), kMaskedUuidLine);
    EXPECT_EQ(readFile(path(".hidden.txt")), kMaskedUuidLine);
    EXPECT_EQ(readFile(path("Dossier été/it's \"quoted\" name.txt")), kMaskedUuidLine);
    for (const char* untouched : {"ACPI/DSDT.aml", "tool.command", "noextension"})
        EXPECT_EQ(readFile(path(untouched)), kUuidLine) << untouched;
}

// A file that cannot be decoded is left alone, but one that cannot be written back would reach
// the package unmasked: that ends the walk.
TEST(SanitizerOnAFullDisk, UndecodableFilesAreSkippedAndAFailedWriteFailsTheWalk)
{
    testing::FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    LibplistPropertyListService propertyLists;
    writeFile(disk.path("a.txt"), "\xff not utf-8 " + kUuidLine);
    EXPECT_NO_THROW(sanitizeDirectory(propertyLists, disk.path(".")));
    EXPECT_NO_THROW(sanitizeDirectory(propertyLists, disk.path("does-not-exist")));
    writeFile(disk.path("b.txt"), QByteArray(8192, 'x') + kUuidLine);
    disk.fill();
    EXPECT_THROW(sanitizeDirectory(propertyLists, disk.path(".")), PlatformError);
    EXPECT_EQ(readFile(disk.path("b.txt")), QByteArray(8192, 'x') + kUuidLine);
}

} // namespace
} // namespace velkor
