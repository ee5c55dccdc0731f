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

TEST(EfiConfigCopy, TheCandidateRootsAreTheMacOSMountsThenTheLinuxOnes)
{
    EXPECT_EQ(defaultEFIRoots(), QStringList({"/Volumes/EFI/EFI", "/System/Volumes/Data/Volumes/EFI/EFI", "/boot/efi/EFI",
                                              "/efi/EFI", "/boot/EFI"}));
}

TEST(EfiConfigCopy, WithoutAMountedPartitionNothingIsCopied)
{
    StepFixture f;
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("Volumes/EFI/EFI"), f.env.path("boot/efi/EFI")});
    EXPECT_EQ(f.log.lines, QStringList{"EFI is not mounted; skipping config copy to avoid prompts/hangs."});
    EXPECT_TRUE(QDir(f.work()).isEmpty());
}

TEST(EfiConfigCopy, TheFirstRootThatExistsIsUsedEvenWhenALaterOneHasTheFiles)
{
    StepFixture f;
    const QString first = f.env.path("Volumes/EFI/EFI");
    const QString second = f.env.path("boot/efi/EFI");
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
