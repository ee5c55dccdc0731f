#include "base/CollectorError.h"
#include "platform/linux/LibzipArchiveWriter.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QFileInfo>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace velkor;
using namespace velkor::testing;

static QString archiveError(const QString& work, const QString& archive)
{
    try {
        LibzipArchiveWriter().zipFolderKeepingParent(work, archive);
    } catch (const PlatformError& error) {
        return error.description();
    }
    return "(no error)";
}

// Every kind of entry kept; a name that is not UTF-8, a missing folder, a full disk: no partial archive.
TEST(ArchiveWriter, KeepsTheTopFolderModesAndLinksAndFailsWithoutALeftover)
{
    QTemporaryDir dir;
    const QString work = dir.filePath("SendToZantro_Work");
    writeFile(work + "/ACPI/DSDT.aml", "DSDT");
    writeScript(work + "/tool.command", "");
    writeFile(dir.filePath("secret.txt"), "outside the package");
    QFile::link(dir.filePath("secret.txt"), work + "/link-out");
    writeFile(work + QString::fromUtf8("/name with 'quote' and é.txt"), "x");
    QDir().mkpath(work + "/empty");
    const QString archive = dir.filePath("SendToZantro.zip");
    EXPECT_EQ(archiveError(work, archive), "(no error)");
    EXPECT_EQ(zipEntries(archive).join(", "),
              QString::fromUtf8("SendToZantro_Work/, SendToZantro_Work/ACPI/, SendToZantro_Work/ACPI/DSDT.aml, SendToZantro_Work/empty/, "
                                "SendToZantro_Work/link-out, SendToZantro_Work/name with 'quote' and é.txt, "
                                "SendToZantro_Work/tool.command"));
    QTemporaryDir unpacked;
    runProcess("/usr/bin/unzip", {"-q", archive, "-d", unpacked.path()}, std::nullopt, 30);
    EXPECT_EQ(QFileInfo(unpacked.filePath("SendToZantro_Work/link-out")).symLinkTarget(), dir.filePath("secret.txt"));
    EXPECT_TRUE(QFileInfo(unpacked.filePath("SendToZantro_Work/tool.command")).isExecutable());
    EXPECT_EQ(readText(unpacked.filePath("SendToZantro_Work/ACPI/DSDT.aml")), "DSDT");

    ::close(::open((QFile::encodeName(work) + "/caf\xe9.txt").constData(), O_WRONLY | O_CREAT, 0600));
    EXPECT_TRUE(archiveError(work, dir.filePath("second.zip")).contains("whose name is not UTF-8"));
    EXPECT_TRUE(archiveError(dir.filePath("none"), dir.filePath("second.zip")).startsWith("Could not"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"secret.txt", "SendToZantro.zip"}));

    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    ::unlink((QFile::encodeName(work) + "/caf\xe9.txt").constData());
    QByteArray noise;
    for (int i = 0; i < 32 * 1024; ++i)
        noise += char((i * 7919 + i / 13) % 251); // does not shrink much
    writeFile(work + "/noise.bin", noise);
    disk.fill();
    EXPECT_TRUE(archiveError(work, disk.path("SendToZantro.zip")).startsWith("Could not create the archive"));
    EXPECT_EQ(disk.entries(), QStringList());
}
