#include "base/CollectorError.h"
#include "files/Files.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using velkor::testing::readText;
using velkor::testing::writeFile;

TEST(Files, AppendCreatesThenAppendsWithoutSeparator)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.txt");
    appendText("first", path);
    EXPECT_EQ(readText(path), "first");
    appendText(QString::fromUtf8("·second"), path);
    EXPECT_EQ(readText(path), QString::fromUtf8("first·second"));
}

TEST(Files, AppendThatCannotOpenTheFileThrowsAndKeepsWhatItHolds)
{
    EXPECT_THROW(appendText("x", "/proc/velkor-no-such/file.txt"), PlatformError);
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("a-folder"));
    EXPECT_THROW(appendText("x", dir.filePath("a-folder")), PlatformError);
    EXPECT_TRUE(QFileInfo(dir.filePath("a-folder")).isDir());
    writeFile(dir.filePath("target.txt"), "kept");
    QFile::link(dir.filePath("target.txt"), dir.filePath("link.txt"));
    EXPECT_THROW(appendText("x", dir.filePath("link.txt")), PlatformError);
    EXPECT_EQ(readText(dir.filePath("target.txt")), "kept");
}

TEST(Files, RecreateReplacesAFileWithAnEmptyFolder)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("work");
    writeFile(path, "plain file");
    recreateDirectory(path);
    EXPECT_TRUE(QFileInfo(path).isDir());
    EXPECT_TRUE(QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST(Files, RemovingATreeNeverFollowsLinksOutOfIt)
{
    QTemporaryDir dir;
    const QString outside = dir.filePath("outside");
    writeFile(outside + "/keep.txt", "precious");
    const QString tree = dir.filePath("tree");
    writeFile(tree + "/sub/a.txt", "a");
    QFile::link(outside, tree + "/sub/link-to-outside");
    QFile::link(outside + "/keep.txt", tree + "/file-link");
    removePath(tree);
    EXPECT_FALSE(QFileInfo::exists(tree));
    EXPECT_EQ(readText(outside + "/keep.txt"), "precious");
}

TEST(Files, AtomicWriteReplacesALinkInsteadOfWritingThroughIt)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("target.txt");
    writeFile(target, "outside content");
    const QString link = dir.filePath("link.txt");
    QFile::link(target, link);
    writeTextFile(link, "new");
    EXPECT_EQ(readText(target), "outside content");
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readText(link), "new");
}

TEST(Files, AtomicWriteIntoAMissingFolderThrows)
{
    QTemporaryDir dir;
    EXPECT_THROW(writeTextFile(dir.filePath("missing/file.txt"), "x"), PlatformError);
}
