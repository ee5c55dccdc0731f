#include "base/CollectorError.h"
#include "platform/linux/LibzipArchiveWriter.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velkor;
using namespace velkor::testing;

TEST(ArchiveWriter, KeepsTheTopFolderModesAndLinksAsLinks)
{
    QTemporaryDir dir;
    const QString work = dir.filePath("SendToZantro_Work");
    writeFile(work + "/ACPI/DSDT.aml", "DSDT");
    writeFile(work + "/tool.command", "#!/bin/sh\n");
    QFile::setPermissions(work + "/tool.command", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    writeFile(dir.filePath("secret.txt"), "outside the package");
    QFile::link(dir.filePath("secret.txt"), work + "/link-out");
    writeFile(work + QString::fromUtf8("/name with 'quote' and é.txt"), "x");
    QDir().mkpath(work + "/empty");

    const QString archive = dir.filePath("SendToZantro.zip");
    LibzipArchiveWriter().zipFolderKeepingParent(work, archive);

    QStringList entries = zipEntries(archive);
    entries.sort();
    EXPECT_EQ(entries, QStringList({"SendToZantro_Work/", "SendToZantro_Work/ACPI/", "SendToZantro_Work/ACPI/DSDT.aml",
                                    "SendToZantro_Work/empty/", "SendToZantro_Work/link-out",
                                    QString::fromUtf8("SendToZantro_Work/name with 'quote' and é.txt"),
                                    "SendToZantro_Work/tool.command"}));

    QTemporaryDir unpacked;
    runProcess("/usr/bin/unzip", {"-q", archive, "-d", unpacked.path()}, std::nullopt, 30);
    const QString root = unpacked.filePath("SendToZantro_Work");
    EXPECT_TRUE(QFileInfo(root + "/link-out").isSymLink());
    EXPECT_EQ(QFileInfo(root + "/link-out").symLinkTarget(), dir.filePath("secret.txt"));
    EXPECT_TRUE(QFileInfo(root + "/tool.command").isExecutable());
    EXPECT_EQ(readText(root + "/ACPI/DSDT.aml"), "DSDT");
}

QString archiveError(const QString& work, const QString& archive)
{
    try {
        LibzipArchiveWriter().zipFolderKeepingParent(work, archive);
    } catch (const PlatformError& error) {
        return error.description();
    }
    return "(no error)";
}

TEST(ArchiveWriter, FailureSaysWhyAndLeavesNoPartialArchive)
{
    // A name that is not UTF-8 cannot be an entry's name; the file is not dropped silently.
    QTemporaryDir dir;
    const QString work = dir.filePath("SendToZantro_Work");
    writeFile(work + "/readable.txt", "x");
    const int fd = ::open((QFile::encodeName(work) + "/caf\xe9.txt").constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const QString archive = dir.filePath("SendToZantro.zip");
    EXPECT_TRUE(archiveError(work, archive).contains("whose name is not UTF-8")) << archiveError(work, archive).toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_THROW(LibzipArchiveWriter().zipFolderKeepingParent(dir.filePath("none"), archive), PlatformError);
    EXPECT_FALSE(QFileInfo::exists(archive));

    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    ::unlink((QFile::encodeName(work) + "/caf\xe9.txt").constData());
    QByteArray noise(32 * 1024, '\0');
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919 + i / 13) % 251); // does not shrink much
    writeFile(work + "/noise.bin", noise);
    disk.fill();
    EXPECT_TRUE(archiveError(work, disk.path("SendToZantro.zip")).startsWith("Could not create the archive"));
    EXPECT_EQ(disk.entries(), QStringList());
}
