#include "base/CollectorError.h"
#include "files/Files.h"
#include "files/FolderWalk.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

using namespace velkor;
using namespace velkor::testing;

static QString errorOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const PlatformError& error) {
        return error.description();
    }
    return QStringLiteral("(no error)");
}

static mode_t modeOf(const QString& path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// Nothing reads, appends or changes mode through a link, pipe, device or folder, nor waits on a
// pipe; writes replace a link, or refuse it, instead of writing through it.
TEST(Files, NothingGoesThroughWhatIsNotARegularFile)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("target");
    writeFile(target, "kept");
    ::chmod(QFile::encodeName(target).constData(), 0640);
    QFile::link(target, dir.filePath("link"));
    QFile::link(dir.filePath("nowhere"), dir.filePath("dangling"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("pipe")).constData(), 0600), 0);
    QDir().mkpath(dir.filePath("folder"));
    writeFile(dir.filePath("large"), QByteArray(100, 'x'));
    const struct { QString path; qsizetype maxBytes; const char* reason; } cases[] = {
        {dir.filePath("link"), kNoSizeLimit, "it is a symbolic link, not a regular file"},
        {dir.filePath("pipe"), kNoSizeLimit, "it is a pipe, not a regular file"},
        {"/dev/null", kNoSizeLimit, "it is a device, not a regular file"},
        {dir.filePath("folder"), kNoSizeLimit, "it is a folder, not a regular file"},
        {dir.filePath("large"), 99, "it holds more than 99 bytes"},
        {dir.filePath("missing"), kNoSizeLimit, std::strerror(ENOENT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        QString reason;
        EXPECT_EQ(readRegularFile(c.path, c.maxBytes, &reason), std::nullopt);
        EXPECT_EQ(reason, QString::fromLocal8Bit(c.reason));
        if (c.maxBytes != kNoSizeLimit || c.path.endsWith("missing"))
            continue;
        EXPECT_FALSE(makeExecutable(c.path));
        EXPECT_TRUE(errorOf([&] { appendText("x", c.path); }).endsWith(c.reason));
    }
    EXPECT_EQ(readRegularFile(dir.filePath("large"), 100), QByteArray(100, 'x'));
    for (const char* name : {"target", "link", "dangling"})
        EXPECT_TRUE(errorOf([&] { createFileExclusively(dir.filePath(name), "new", 0600); }).endsWith(std::strerror(EEXIST))) << name;
    EXPECT_FALSE(pathExists(dir.filePath("nowhere")));
    EXPECT_EQ(readFile(target), "kept");
    EXPECT_EQ(modeOf(target), 0640u);
    writeTextFile(dir.filePath("link"), "new");
    EXPECT_EQ(readText(target) + "|" + readText(dir.filePath("link")), "kept|new");

    writeTextFile(target, "rewritten");
    EXPECT_EQ(modeOf(target), 0640u) << "a rewrite keeps the permissions";
    EXPECT_TRUE(makeExecutable(target));
    EXPECT_EQ(modeOf(target), 0755u);
    createFileExclusively(dir.filePath("script"), "#!/bin/sh\n", 0700);
    EXPECT_EQ(modeOf(dir.filePath("script")), 0700u);
    appendText("first", dir.filePath("log"));
    appendText(QString::fromUtf8("·second"), dir.filePath("log"));
    EXPECT_EQ(readText(dir.filePath("log")), QString::fromUtf8("first·second"));
    EXPECT_TRUE(errorOf([&] { writeTextFile(dir.filePath("missing/file.txt"), "x"); }).endsWith(std::strerror(ENOENT)));
    EXPECT_TRUE(errorOf([&] { createDirectories(dir.filePath("target/sub")); }).endsWith(std::strerror(ENOTDIR)));
    EXPECT_EQ(errorOf([&] { createDirectories(dir.filePath("a/b")), createDirectories(dir.filePath("a/b")); }), "(no error)");
}

// Qt's buffered QSaveFile reported success after ENOSPC and renamed a short file into place.
TEST(Files, AFullDiskFailsEveryWriteWithTheReasonAndKeepsWhatWasThere)
{
    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QByteArray block(8192, 'n');
    const QString old = disk.path("old.txt");
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"new file", [&] { writeFileAtomically(disk.path("new.txt"), block); }},
        {"rewrite in place", [&] { writeFileAtomically(old, block); }},
        {"append", [&] { appendText(QString::fromLatin1(block), old); }},
        {"exclusive creation", [&] { createFileExclusively(disk.path("new.txt"), block, 0700); }},
    };
    for (const auto& [name, write] : cases) {
        SCOPED_TRACE(name);
        writeFile(old, "old content");
        disk.fill();
        EXPECT_TRUE(errorOf(write).endsWith(QString::fromLocal8Bit(std::strerror(ENOSPC))));
        EXPECT_EQ(readFile(old), "old content");
        EXPECT_EQ(disk.entries(), QStringList{"old.txt"}) << "no temporary file is left";
        QFile::remove(disk.path(".filler"));
    }
}

TEST(Files, FoldersArePrivateAndRemovedWithoutFollowingLinks)
{
    QTemporaryDir parent;
    {
        const PrivateTemporaryFolder a(parent.path(), "Velkor_Tools_"), b(parent.path(), "Velkor_Tools_");
        EXPECT_NE(a.path(), b.path());
        EXPECT_EQ(QFileInfo(a.path()).fileName().size(), QString("Velkor_Tools_").size() + 6);
        EXPECT_EQ(modeOf(a.path()), 0700u);
        writeFile(a.path() + "/withheld/deep/file", "x");
    }
    EXPECT_TRUE(QDir(parent.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_TRUE(errorOf([&] { PrivateTemporaryFolder(parent.filePath("missing"), "x"); }).endsWith(std::strerror(ENOENT)));

    const QString outside = parent.filePath("outside");
    writeFile(outside + "/keep.txt", "precious");
    const QString tree = parent.filePath("tree");
    writeFile(tree + "/.hidden/b", "b");
    ::close(::open((QFile::encodeName(tree) + "/latin-\xe9").constData(), O_WRONLY | O_CREAT, 0600)); // not UTF-8
    QFile::link(outside, tree + "/link-to-outside");
    QFile::link(outside + "/keep.txt", tree + "/file-link");
    removePath(tree);
    EXPECT_FALSE(QFileInfo::exists(tree));
    EXPECT_EQ(readText(outside + "/keep.txt"), "precious");
    writeFile(tree, "plain file");
    recreateDirectory(tree);
    EXPECT_TRUE(QFileInfo(tree).isDir());
}

TEST(Files, TextLikeFilesByLowerCasedExtension)
{
    const std::pair<const char*, bool> cases[] = {{"a.plist", true}, {"b.SPX", true}, {"dir/c.Xml", true}, {"e.LOG", true}, {"d.txt", true},
        {"DSDT.aml", false}, {"notes.txt.bak", false}, {"file.", false}, {"dir.txt/inner", false}, {".txt", false}};
    for (const auto& [name, text] : cases)
        EXPECT_EQ(isTextLikeFile(name), text) << name;
}

TEST(FolderWalk, ListsWithoutFollowingLinksWithinItsBounds)
{
    QTemporaryDir dir;
    const QString top = dir.filePath("top");
    writeFile(dir.filePath("outside/secret.txt"), "x");
    for (const char* name : {"b.txt", "a/deep/er.txt", ".hidden/inside.txt", ".dot"})
        writeFile(top + "/" + name, "x");
    QFile::link(dir.filePath("outside"), top + "/linked-folder");
    QFile::link(dir.filePath("outside/secret.txt"), top + "/linked.txt");
    ::mkfifo(QFile::encodeName(top + "/pipe").constData(), 0600);
    const auto walk = [&](const QString& folder, const WalkOptions& options) {
        QStringList seen;
        const QString error = errorOf([&] {
            walkFolder(folder, options, [&seen](const FolderEntry& entry) {
                seen << entry.relative + " " + QStringList{"file", "folder", "link", "other"}[int(entry.kind)] + (entry.afterContents ? " done" : "");
            });
        });
        return error == "(no error)" ? seen.join(", ") : "(error) " + error;
    };
    const QString rest = "b.txt file, linked-folder link, linked.txt link, pipe other";
    const struct { WalkOptions options; QString result; } cases[] = {
        {{}, ".dot file, .hidden folder, .hidden/inside.txt file, a folder, a/deep folder, a/deep/er.txt file, " + rest},
        {{.includeHidden = false}, "a folder, a/deep folder, a/deep/er.txt file, " + rest},
        {{.subfolders = false}, ".dot file, .hidden folder, a folder, " + rest},
        {{.includeHidden = false, .revisitFolders = true}, "a folder, a/deep folder, a/deep/er.txt file, a/deep folder done, a folder done, " + rest},
        {{.maxDepth = 1}, "(error) The folder “" + top + "” is nested more than 1 folders deep"},
        {{.maxEntries = 8}, "(error) The folder “" + top + "” holds more than 8 entries"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(walk(top, c.options), c.result);

    // A link in the folder's own place is not entered; a name that is not UTF-8 cannot be passed on.
    QFile::link(top, dir.filePath("top-link"));
    EXPECT_TRUE(walk(dir.filePath("top-link"), {}).endsWith(std::strerror(ENOTDIR)));
    ::close(::open((QFile::encodeName(top) + "/latin-\xe9.txt").constData(), O_WRONLY | O_CREAT, 0600));
    EXPECT_EQ(walk(top, {}), "(error) The folder “" + top + "” holds an entry whose name is not UTF-8: “latin-\uFFFD.txt”");
}
