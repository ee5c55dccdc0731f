#include "base/CollectorError.h"
#include "platform/linux/LibzipArchiveWriter.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

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

TEST(ArchiveWriter, FailureLeavesNoPartialArchive)
{
    QTemporaryDir dir;
    const QString work = dir.filePath("SendToZantro_Work");
    writeFile(work + "/readable.txt", "x");
    writeFile(work + "/unreadable.txt", "y");
    ::chmod(QFile::encodeName(work + "/unreadable.txt").constData(), 0);
    const QString archive = dir.filePath("SendToZantro.zip");
    if (::geteuid() == 0) {
        // root reads every file; make the destination unwritable instead.
        EXPECT_THROW(LibzipArchiveWriter().zipFolderKeepingParent(work, "/proc/velkor/SendToZantro.zip"), PlatformError);
        return;
    }
    EXPECT_THROW(LibzipArchiveWriter().zipFolderKeepingParent(work, archive), PlatformError);
    EXPECT_FALSE(QFileInfo::exists(archive));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST(ArchiveWriter, MissingFolderIsAnError)
{
    QTemporaryDir dir;
    EXPECT_THROW(LibzipArchiveWriter().zipFolderKeepingParent(dir.filePath("none"), dir.filePath("a.zip")), PlatformError);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("a.zip")));
}
