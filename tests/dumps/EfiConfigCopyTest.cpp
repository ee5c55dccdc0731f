#include "base/CollectorError.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "dumps/EfiConfigCopy.h"
#include "platform/PrivilegedFacts.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QByteArray kCloverConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>SMBIOS</key>
	<dict>
		<key>BoardSerialNumber</key>
		<string>C02739300CDJHX8JC</string>
		<key>SerialNumber</key>
		<string>C02XK1ZZJV3Q</string>
		<key>SmUUID</key>
		<string>0F3D2A41-7B7E-4C55-9E2B-3A5F6B7C8D9E</string>
	</dict>
</dict>
</plist>
)";

} // namespace

TEST(EfiConfigCopy, WithoutAMountedPartitionNothingIsCopiedElseTheFirstRootThatExistsIsUsed)
{
    StepFixture f;
    const QString first = f.env.path("Volumes/EFI/EFI");
    const QString second = f.env.path("boot/efi/EFI");
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {first, second});
    EXPECT_EQ(f.log.lines, QStringList{"EFI is not mounted; skipping config copy to avoid prompts/hangs."});
    EXPECT_TRUE(QDir(f.work()).isEmpty());

    f.log.lines.clear();
    QDir().mkpath(first);
    writeFile(second + "/CLOVER/config.plist", kCloverConfig);

    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("missing"), first, second});

    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist not found on mounted EFI.", "OC config.plist not found on mounted EFI."}));
    EXPECT_TRUE(QDir(f.work()).isEmpty());

    f.log.lines.clear();
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("missing"), second});
    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist copied as CLOVER-config.plist and sanitized at root.",
                                        "OC config.plist not found on mounted EFI."}));
}

TEST(EfiConfigCopy, BothConfigurationsAreCopiedMaskedAndReplaceStaleCopies)
{
    StepFixture f;
    const QString root = f.env.path("efi part/EFI");
    writeFile(root + "/CLOVER/config.plist", kCloverConfig);
    writeFile(root + "/OC/config.plist", readFile(testData("dumps/oc-config-binary.plist")));
    writeFile(f.work() + "/CLOVER-config.plist", "stale");

    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {root});

    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist copied as CLOVER-config.plist and sanitized at root.",
                                        "OC config.plist copied as OC-config.plist and sanitized at root."}));
    const QString clover = readText(f.work() + "/CLOVER-config.plist");
    EXPECT_TRUE(clover.contains("<key>SerialNumber</key>\n\t\t<string>XX-MASKED-XX</string>")) << clover.toStdString();
    EXPECT_TRUE(clover.contains("<key>SmUUID</key>\n\t\t<string>XX-MASKED-XX</string>"));
    // The binary configuration was turned into XML before masking.
    const QString openCore = readText(f.work() + "/OC-config.plist");
    EXPECT_TRUE(openCore.startsWith("<?xml")) << openCore.toStdString();
    for (const QString& secret : QStringList{"C02739300CDJHX8JC", "C02XK1ZZJV3Q", "0F3D2A41", "ESIzRFVm"}) {
        EXPECT_FALSE(clover.contains(secret)) << secret.toStdString();
        EXPECT_FALSE(openCore.contains(secret)) << secret.toStdString();
    }
    EXPECT_TRUE(openCore.contains("iMac19,1"));
    // The partition itself is never changed.
    EXPECT_EQ(readFile(root + "/CLOVER/config.plist"), kCloverConfig);
}

// A folder, a pipe (reading it would wait for a writer) or a link to an endless device in the
// configuration's place: the copy fails at once, with the reason, before the OpenCore one.
TEST(EfiConfigCopy, AFailedCopyThrowsBeforeTheOpenCoreConfiguration)
{
    const struct {
        const char* what;
        std::function<void(const QString&)> make;
    } cases[] = {
        {"a folder", [](const QString& path) { QDir().mkpath(path); }},
        {"a pipe", [](const QString& path) { ::mkfifo(QFile::encodeName(path).constData(), 0600); }},
        {"a symbolic link", [](const QString& path) { QFile::link("/dev/zero", path); }},
    };
    for (const auto& c : cases) {
        StepFixture f;
        const QString root = f.env.path("EFI");
        QDir().mkpath(root + "/CLOVER");
        c.make(root + "/CLOVER/config.plist");
        writeFile(root + "/OC/config.plist", kCloverConfig);
        try {
            copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {root});
            ADD_FAILURE() << c.what << ": no error";
        } catch (const PlatformError& error) {
            EXPECT_TRUE(error.description().endsWith(QString("it is %1, not a regular file").arg(c.what))) << error.what();
        }
        EXPECT_TRUE(f.log.lines.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(f.work() + "/OC-config.plist"));
    }
}

// A partition only root may read (Debian mounts it 0700) is invisible to the user; what root
// read there in the administrator step is copied and masked as any other configuration.
TEST(EfiConfigCopy, WhatRootReadOnAPartitionHiddenFromTheUserIsCopied)
{
    StepFixture f;
    const QString hidden = f.env.path("boot/efi/EFI"); // does not exist for this user
    const QString visible = f.env.path("later/EFI");
    writeFile(visible + "/CLOVER/config.plist", "<plist>not this one</plist>");
    auto store = std::make_shared<PrivilegedFactsStore>();
    PrivilegedFacts facts;
    facts.efiRoot = hidden;
    facts.efiConfigs[hidden + "/CLOVER/config.plist"] = kCloverConfig;
    store->publish(facts);
    f.env.platform.privilegedFacts = store;

    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("missing"), hidden, visible});

    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist copied as CLOVER-config.plist and sanitized at root.",
                                        "OC config.plist not found on mounted EFI."}));
    const QString clover = readText(f.work() + "/CLOVER-config.plist");
    EXPECT_TRUE(clover.contains("<key>SerialNumber</key>\n\t\t<string>XX-MASKED-XX</string>")) << clover.toStdString();
    EXPECT_FALSE(clover.contains("C02XK1ZZJV3Q"));
}

// A stick the desktop mounted, found through the mount table after the candidate roots. Only
// file systems on a block device are looked at; a network share, a pseudo file system and an
// automount point not mounted yet are never entered, and a link in a configuration's place is
// refused with a log line while a later volume still gives that configuration.
TEST(EfiConfigCopy, ConfigurationsOnAnyMountedVolumeAreFoundAfterTheCandidateRoots)
{
    const QString efiStick = "/media/zoë/EFI";
    const struct {
        const char* table;     // file below the machine root
        QByteArray content;
        QStringList log;
    } cases[] = {
        {"proc/self/mountinfo",
         "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
         "30 22 0:5 / /proc rw - proc proc rw\n"
         "40 22 0:44 / /srv/share rw - nfs4 server:/export rw\n"
         "41 22 0:45 / /mnt/tmp rw - tmpfs tmpfs rw\n"
         "42 22 0:46 / /boot/efi rw - autofs systemd-1 rw\n"
         "50 22 8:17 / /media/zo\303\253/OLD\\040STICK rw - vfat /dev/sdb1 rw\n"
         "51 22 8:33 / /media/zo\303\253/EFI rw,nosuid shared:9 - vfat /dev/sdc1 rw,fmask=0022\n",
         {"CLOVER config.plist not found on mounted EFI.",
          "OC config.plist at /media/zoë/OLD STICK/EFI/OC/config.plist (/dev/sdb1) refused: it is a symbolic link, not a regular file.",
          "OC config.plist found at /media/zoë/EFI/EFI/OC/config.plist (/dev/sdc1).",
          "OC config.plist copied as OC-config.plist and sanitized at root."}},
        {"proc/mounts",
         "/dev/sdc1 /media/zo\303\253/EFI vfat rw 0 0\nserver:/export /srv/share nfs4 rw 0 0\n",
         {"CLOVER config.plist not found on mounted EFI.",
          "OC config.plist found at /media/zoë/EFI/EFI/OC/config.plist (/dev/sdc1).",
          "OC config.plist copied as OC-config.plist and sanitized at root."}},
    };
    for (const auto& c : cases) {
        StepFixture f;
        const QString machine = f.env.platform.machineRoot;
        writeFile(machine + "/" + c.table, c.content);
        writeFile(machine + efiStick + "/EFI/OC/config.plist", kCloverConfig);
        // Each of these would be the wrong configuration.
        for (const QString& elsewhere : QStringList{"/srv/share", "/mnt/tmp", "/boot/efi", "/proc"})
            writeFile(machine + elsewhere + "/EFI/CLOVER/config.plist", "<plist>not this one</plist>");
        QDir().mkpath(machine + "/media/zoë/OLD STICK/EFI/OC");
        QFile::link("/dev/zero", machine + "/media/zoë/OLD STICK/EFI/OC/config.plist");

        copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("missing")});

        EXPECT_EQ(f.log.lines, c.log) << c.table;
        EXPECT_FALSE(QFileInfo::exists(f.work() + "/CLOVER-config.plist")) << c.table;
        const QString openCore = readText(f.work() + "/OC-config.plist");
        EXPECT_TRUE(openCore.contains("<key>SerialNumber</key>\n\t\t<string>XX-MASKED-XX</string>")) << openCore.toStdString();
    }
}
