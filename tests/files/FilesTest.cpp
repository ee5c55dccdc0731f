#include "base/CollectorError.h"
#include "files/Files.h"
#include "files/FolderWalk.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace velkor;
using velkor::testing::FullDisk;
using velkor::testing::readFile;
using velkor::testing::readText;
using velkor::testing::writeFile;

namespace {

QString errorOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const PlatformError& error) {
        return error.description();
    }
    return QStringLiteral("(no error)");
}

mode_t modeOf(const QString& path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// A file whose name holds a byte that is not UTF-8 (no QString can spell it).
void writeLatin1Name(const QString& folder, const QByteArray& name)
{
    const int fd = ::open((QFile::encodeName(folder) + '/' + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
}

} // namespace

TEST(Files, AppendCreatesThenAppendsWithoutSeparator)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.txt");
    appendText("first", path);
    EXPECT_EQ(readText(path), "first");
    appendText(QString::fromUtf8("·second"), path);
    EXPECT_EQ(readText(path), QString::fromUtf8("first·second"));
}

// Links, pipes, devices and folders where a file is expected: nothing reads, appends or changes
// mode through them, and nothing waits on a pipe.
TEST(Files, WhatIsNotARegularFileIsRefusedWithTheReason)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("target");
    writeFile(target, "kept");
    ::chmod(QFile::encodeName(target).constData(), 0600);
    QFile::link(target, dir.filePath("link"));
    QFile::link("/dev/zero", dir.filePath("link-to-zero"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("pipe")).constData(), 0600), 0);
    QDir().mkpath(dir.filePath("folder"));
    writeFile(dir.filePath("large"), QByteArray(100, 'x'));

    const struct {
        QString path;
        qsizetype maxBytes;
        const char* reason;
    } cases[] = {
        {dir.filePath("link"), kNoSizeLimit, "it is a symbolic link, not a regular file"},
        {dir.filePath("link-to-zero"), kNoSizeLimit, "it is a symbolic link, not a regular file"},
        {dir.filePath("pipe"), kNoSizeLimit, "it is a pipe, not a regular file"},
        {"/dev/null", kNoSizeLimit, "it is a device, not a regular file"},
        {dir.filePath("folder"), kNoSizeLimit, "it is a folder, not a regular file"},
        {dir.filePath("large"), 99, "it holds more than 99 bytes"},
        {dir.filePath("missing"), kNoSizeLimit, std::strerror(ENOENT)},
    };
    for (const auto& c : cases) {
        QString reason;
        EXPECT_EQ(readRegularFile(c.path, c.maxBytes, &reason), std::nullopt) << c.path.toStdString();
        EXPECT_EQ(reason, QString::fromLocal8Bit(c.reason)) << c.path.toStdString();
        if (c.maxBytes != kNoSizeLimit || c.path.endsWith("missing"))
            continue;
        EXPECT_FALSE(makeExecutable(c.path)) << c.path.toStdString();
        EXPECT_TRUE(errorOf([&] { appendText("x", c.path); }).endsWith(c.reason)) << c.path.toStdString();
    }
    EXPECT_EQ(readRegularFile(dir.filePath("large"), 100), QByteArray(100, 'x'));
    EXPECT_EQ(readFile(target), "kept");
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_TRUE(makeExecutable(target));
    EXPECT_EQ(modeOf(target), 0755u);
}

// Qt's buffered QSaveFile reported success after ENOSPC and renamed a short file into place.
TEST(Files, AFullDiskFailsEveryWriteWithTheReasonAndKeepsWhatWasThere)
{
    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QByteArray block(8192, 'n');
    const QString old = disk.path("old.txt");
    const struct {
        const char* name;
        std::function<void()> write;
    } cases[] = {
        {"new file", [&] { writeFileAtomically(disk.path("new.txt"), block); }},
        {"rewrite in place", [&] { writeFileAtomically(old, block); }},
        {"append", [&] { appendText(QString::fromLatin1(block), old); }},
        {"exclusive creation", [&] { createFileExclusively(disk.path("new.txt"), block, 0700); }},
    };
    for (const auto& c : cases) {
        writeFile(old, "old content");
        disk.fill();
        EXPECT_TRUE(errorOf(c.write).endsWith(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << c.name;
        EXPECT_EQ(readFile(old), "old content") << c.name;
        EXPECT_EQ(disk.entries(), QStringList{"old.txt"}) << c.name << ": no temporary file is left";
        QFile::remove(disk.path(".filler"));
    }
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

    ::chmod(QFile::encodeName(target).constData(), 0640);
    writeTextFile(target, "rewritten");
    EXPECT_EQ(modeOf(target), 0640u) << "a rewrite keeps the permissions";
    EXPECT_TRUE(errorOf([&] { writeTextFile(dir.filePath("missing/file.txt"), "x"); }).endsWith(std::strerror(ENOENT)));
}

TEST(Files, ExclusiveCreationNeverReplacesOrFollows)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("there"), "kept");
    QFile::link(dir.filePath("there"), dir.filePath("link"));
    QFile::link(dir.filePath("nowhere"), dir.filePath("dangling"));
    for (const char* name : {"there", "link", "dangling"})
        EXPECT_TRUE(errorOf([&] { createFileExclusively(dir.filePath(name), "new", 0600); }).endsWith(std::strerror(EEXIST))) << name;
    EXPECT_EQ(readFile(dir.filePath("there")), "kept");
    EXPECT_FALSE(pathExists(dir.filePath("nowhere")));

    createFileExclusively(dir.filePath("script"), "#!/bin/sh\n", 0755);
    EXPECT_EQ(modeOf(dir.filePath("script")), 0755u);
}

TEST(Files, PrivateTemporaryFolderIsUnpredictableClosedAndRemovedWithItsContents)
{
    QTemporaryDir parent;
    QString first;
    {
        const PrivateTemporaryFolder a(parent.path(), "Velkor_Tools_");
        const PrivateTemporaryFolder b(parent.path(), "Velkor_Tools_");
        first = a.path();
        EXPECT_NE(a.path(), b.path());
        EXPECT_EQ(QFileInfo(a.path()).fileName().size(), QString("Velkor_Tools_").size() + 6);
        EXPECT_EQ(modeOf(a.path()), 0700u);
        writeFile(a.path() + "/withheld/deep/file", "x");
    }
    EXPECT_FALSE(pathExists(first));
    EXPECT_TRUE(QDir(parent.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_TRUE(errorOf([&] { PrivateTemporaryFolder(parent.filePath("missing"), "x"); }).endsWith(std::strerror(ENOENT)));
}

TEST(Files, RemovingATreeNeverFollowsLinksOutOfIt)
{
    QTemporaryDir dir;
    const QString outside = dir.filePath("outside");
    writeFile(outside + "/keep.txt", "precious");
    const QString tree = dir.filePath("tree");
    writeFile(tree + "/sub/a.txt", "a");
    writeFile(tree + "/.hidden/b", "b");
    writeLatin1Name(tree, "latin-\xe9");
    QFile::link(outside, tree + "/sub/link-to-outside");
    QFile::link(outside + "/keep.txt", tree + "/file-link");
    removePath(tree);
    EXPECT_FALSE(QFileInfo::exists(tree));
    EXPECT_EQ(readText(outside + "/keep.txt"), "precious");

    writeFile(tree, "plain file");
    recreateDirectory(tree);
    EXPECT_TRUE(QFileInfo(tree).isDir());
    EXPECT_TRUE(QDir(tree).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST(Files, CreatingAFolderSaysWhyItCannot)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("file"), "x");
    EXPECT_TRUE(errorOf([&] { createDirectories(dir.filePath("file/sub")); }).endsWith(std::strerror(ENOTDIR)));
    EXPECT_TRUE(errorOf([&] { createDirectories(dir.filePath("file")); }).endsWith(std::strerror(ENOTDIR)));
    createDirectories(dir.filePath("a/b/c"));
    createDirectories(dir.filePath("a/b/c"));
    EXPECT_TRUE(QFileInfo(dir.filePath("a/b/c")).isDir());
}

TEST(Files, TextLikeFilesByLowerCasedExtension)
{
    for (const char* name : {"a.plist", "b.SPX", "dir/c.Xml", "d.txt", "e.LOG", "x.y.txt", "/abs/Portwright.kext/Contents/Info.plist"})
        EXPECT_TRUE(isTextLikeFile(name)) << name;
    for (const char* name : {"DSDT.aml", "run.command", "README", "notes.txt.bak", "file.", "dir.txt/inner", "textxt", ".txt"})
        EXPECT_FALSE(isTextLikeFile(name)) << name;
}

TEST(FolderWalk, ListsWithoutFollowingLinksWithinItsBounds)
{
    QTemporaryDir dir;
    const QString top = dir.filePath("top");
    writeFile(dir.filePath("outside/secret.txt"), "x");
    writeFile(top + "/b.txt", "b");
    writeFile(top + "/a/deep/er.txt", "e");
    writeFile(top + "/.hidden/inside.txt", "h");
    writeFile(top + "/.dot", "d");
    QFile::link(dir.filePath("outside"), top + "/linked-folder");
    QFile::link(dir.filePath("outside/secret.txt"), top + "/linked.txt");
    ::mkfifo(QFile::encodeName(top + "/pipe").constData(), 0600);

    const auto walk = [&](const QString& folder, const WalkOptions& options) {
        QStringList seen;
        walkFolder(folder, options, [&seen](const FolderEntry& entry) {
            static const char* kinds[] = {"file", "folder", "link", "other"};
            seen << entry.relative + " " + kinds[int(entry.kind)] + (entry.afterContents ? " done" : "");
        });
        return seen.join(", ");
    };
    WalkOptions all;
    WalkOptions visible;
    visible.includeHidden = false;
    WalkOptions shallow;
    shallow.subfolders = false;
    WalkOptions revisit = visible;
    revisit.revisitFolders = true;
    WalkOptions shallowDepth;
    shallowDepth.maxDepth = 1;
    WalkOptions fewEntries;
    fewEntries.maxEntries = 8;

    const struct {
        const WalkOptions& options;
        QString result;
    } cases[] = {
        {all, ".dot file, .hidden folder, .hidden/inside.txt file, a folder, a/deep folder, a/deep/er.txt file, b.txt file, "
              "linked-folder link, linked.txt link, pipe other"},
        {visible, "a folder, a/deep folder, a/deep/er.txt file, b.txt file, linked-folder link, linked.txt link, pipe other"},
        {shallow, ".dot file, .hidden folder, a folder, b.txt file, linked-folder link, linked.txt link, pipe other"},
        {revisit, "a folder, a/deep folder, a/deep/er.txt file, a/deep folder done, a folder done, b.txt file, "
                  "linked-folder link, linked.txt link, pipe other"},
        {shallowDepth, "(error) The folder “" + top + "” is nested more than 1 folders deep"},
        {fewEntries, "(error) The folder “" + top + "” holds more than 8 entries"},
    };
    for (const auto& c : cases) {
        QString result;
        try {
            result = walk(top, c.options);
        } catch (const PlatformError& error) {
            result = "(error) " + error.description();
        }
        EXPECT_EQ(result, c.result);
    }

    // A link in the folder's own place is not entered; a name that is not UTF-8 cannot be passed on.
    QFile::link(top, dir.filePath("top-link"));
    EXPECT_TRUE(errorOf([&] { walk(dir.filePath("top-link"), all); }).endsWith(std::strerror(ENOTDIR)));
    writeLatin1Name(top, "latin-\xe9.txt");
    EXPECT_EQ(errorOf([&] { walk(top, all); }),
              "The folder “" + top + "” holds an entry whose name is not UTF-8: “latin-\uFFFD.txt”");
}
