#include "base/CollectorError.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "privacy/Sanitizer.h"
#include "privacy/TextMasking.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace velkor {
namespace {

using testing::readFile;
using testing::readText;
using testing::writeFile;

const QByteArray kUuidLine = "id 4C4C4544-0042-3510-8052-B4C04F4D3732\n";
const QByteArray kMaskedUuidLine = "id XX-MASKED-UUID\n";

class Sanitizer : public ::testing::Test {
protected:
    QString path(const QString& relative) const { return root.filePath(relative); }
    QString put(const QString& relative, const QByteArray& bytes)
    {
        writeFile(path(relative), bytes);
        return path(relative);
    }
    QByteArray sanitized(const QString& relative, const QByteArray& bytes)
    {
        sanitizeTextLikeFile(propertyLists, put(relative, bytes));
        return readFile(path(relative));
    }

    QTemporaryDir root;
    LibplistPropertyListService propertyLists;
};

TEST_F(Sanitizer, ABinaryConfigBecomesXmlWithItsIdentifiersMasked)
{
    const QString xml = QString::fromUtf8(sanitized("OC-config.plist", readFile(testing::testData("dumps/oc-config-binary.plist"))));
    EXPECT_TRUE(xml.startsWith("<?xml")) << xml.toStdString();
    for (const char* key : {"MLB", "ROM", "SystemSerialNumber", "SystemUUID"})
        EXPECT_TRUE(xml.contains(QRegularExpression(QStringLiteral("<key>%1</key>\\s*<(string|data)>XX-MASKED-XX</").arg(key)))) << key;
    for (const char* secret : {"C02739300CDJHX8JC", "ESIzRFVm", "C02XK1ZZJV3Q", "0F3D2A41"})
        EXPECT_FALSE(xml.contains(secret)) << secret;
    EXPECT_TRUE(xml.contains("<string>iMac19,1</string>"));
}

TEST_F(Sanitizer, TextIsMaskedAndRewrittenAndOtherBytesAreLeftAlone)
{
    EXPECT_EQ(sanitized("bootlog.txt", "Serial Number (system): C02XG0FDH7JY\n"), "Serial Number (system): XX-MASKED-XX-MASKED-XX\n");
    EXPECT_EQ(sanitized("bom.txt", "\xef\xbb\xbf" + kUuidLine), "\xef\xbb\xbf" + kMaskedUuidLine) << "the byte-order mark stays";
    EXPECT_EQ(sanitized("SysDump.xml", "<config>\n  <mac>00:1A:2b:3C:4d:5E</mac>\n</config>\n"),
              "<config>\n  <mac>XX:XX:XX:XX:XX:XX</mac>\n</config>\n"); // XML that is no property list
    // A file with nothing to mask is written anew all the same.
    const QString plain = put("notes.log", "nothing to mask\n");
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-3);
    QFile plainFile(plain);
    ASSERT_TRUE(plainFile.open(QIODevice::ReadWrite) && plainFile.setFileTime(old, QFileDevice::FileModificationTime));
    plainFile.close();
    sanitizeTextLikeFile(propertyLists, plain);
    EXPECT_EQ(readFile(plain), "nothing to mask\n");
    EXPECT_GT(QFileInfo(plain).lastModified(), old.addDays(1));

    // Text that is not UTF-8 (UTF-16, Latin-1, an overlong form) is not touched.
    QByteArray utf16("\xff\xfe", 2);
    for (const char c : kUuidLine)
        utf16 += QByteArray(1, c) + QByteArray(1, '\0');
    for (const QByteArray& bytes : {utf16, "caf\xe9 " + kUuidLine, "\xc0\xaf " + kUuidLine})
        EXPECT_EQ(sanitized("other.txt", bytes), bytes);
}

TEST_F(Sanitizer, WhatCannotBeMaskedOrWrittenBackNeverStaysUnmasked)
{
    const QString file = put("ioregAPP.txt", kUuidLine);
    sanitizeTextLikeFile(propertyLists, file, [](QString) { return std::nullopt; });
    EXPECT_EQ(readText(file), kUnmaskableTextNote);
    // A name so long that no temporary file can be made beside it: the write fails, even for root.
    const QString longName = put(QString(250, QLatin1Char('n')) + ".txt", kUuidLine);
    EXPECT_THROW(sanitizeTextLikeFile(propertyLists, longName), PlatformError);
    EXPECT_EQ(readFile(longName), kUuidLine);
}

TEST_F(Sanitizer, LinksAndSpecialFilesAreNeverReadOrWrittenThrough)
{
    QTemporaryDir outside;
    const QString secret = outside.filePath("secret.txt");
    writeFile(secret, kUuidLine);
    ASSERT_TRUE(QFile::link(secret, path("link.txt")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("pipe.txt")).constData(), 0600), 0);
    sanitizeTextLikeFile(propertyLists, path("link.txt"));
    sanitizeTextLikeFile(propertyLists, path("pipe.txt")); // would block if opened for reading
    sanitizeTextLikeFile(propertyLists, path("missing.txt"));
    EXPECT_EQ(readFile(secret), kUuidLine);
    EXPECT_TRUE(QFileInfo(path("link.txt")).isSymLink());
}

TEST(TextLikeFiles, ByLowerCasedExtension)
{
    for (const char* name : {"a.plist", "b.SPX", "dir/c.Xml", "d.txt", "e.LOG", "x.y.txt", "/abs/Portwright.kext/Contents/Info.plist"})
        EXPECT_TRUE(isTextLikeFile(name)) << name;
    for (const char* name : {"DSDT.aml", "run.command", "README", "notes.txt.bak", "file.", "dir.txt/inner", "textxt"})
        EXPECT_FALSE(isTextLikeFile(name)) << name;
}

TEST_F(Sanitizer, TheFolderWalkMasksVisibleTextLikeFilesAndNeverFollowsLinks)
{
    QTemporaryDir outside;
    writeFile(outside.filePath("secret.txt"), kUuidLine);
    writeFile(outside.filePath("folder/inner.txt"), kUuidLine);
    ASSERT_TRUE(QFile::link(outside.filePath("secret.txt"), path("linked.txt")));
    ASSERT_TRUE(QFile::link(outside.filePath("folder"), path("linked-folder")));
    ASSERT_TRUE(QFile::link(root.path(), outside.filePath("top-link")));
    const QStringList masked{"ioreg.txt", "CPUFriend-Dump/deep/er/run.LOG", "Dossier été/it's \"quoted\" name.txt"};
    const QStringList untouched{"ACPI/DSDT.aml", "tool.command", "noextension", ".hidden.txt", ".git/config.txt", "visible/.private/inner.txt"};
    for (const QString& name : masked + untouched)
        put(name, kUuidLine);
    put(QString(250, QLatin1Char('a')) + ".txt", kUuidLine); // cannot be written back: the walk goes on
    put("c.txt", "\xff not utf-8 " + kUuidLine);

    sanitizeDirectory(propertyLists, outside.filePath("top-link")); // the top folder as a link: not entered
    EXPECT_EQ(readFile(path("ioreg.txt")), kUuidLine);
    EXPECT_NO_THROW(sanitizeDirectory(propertyLists, root.path()));
    EXPECT_NO_THROW(sanitizeDirectory(propertyLists, path("does-not-exist")));
    for (const QString& name : masked)
        EXPECT_EQ(readFile(path(name)), kMaskedUuidLine) << name.toStdString();
    for (const QString& name : untouched)
        EXPECT_EQ(readFile(path(name)), kUuidLine) << name.toStdString();
    EXPECT_EQ(readFile(outside.filePath("secret.txt")), kUuidLine);
    EXPECT_EQ(readFile(outside.filePath("folder/inner.txt")), kUuidLine);
    EXPECT_TRUE(QFileInfo(path("linked.txt")).isSymLink());

    // A tree too deep to walk fails the step.
    put("d" + QString("/d").repeated(70) + "/far.txt", kUuidLine);
    EXPECT_THROW(sanitizeDirectory(propertyLists, root.path()), CollectorError);
}

} // namespace
} // namespace velkor
