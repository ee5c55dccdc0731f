#include "base/CollectorError.h"
#include "dumps/EfiConfigCopy.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QByteArray kCloverConfig = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n\t<key>SMBIOS</key>\n\t<dict>\n"
                                 "\t\t<key>SerialNumber</key>\n\t\t<string>C02XK1ZZJV3Q</string>\n\t\t<key>SmUUID</key>\n"
                                 "\t\t<string>0F3D2A41-7B7E-4C55-9E2B-3A5F6B7C8D9E</string>\n\t</dict>\n</dict>\n</plist>\n";

} // namespace

TEST(EfiConfigCopy, OnlyTheFirstRootThatExistsIsLookedAt)
{
    StepFixture f;
    const QString first = f.env.path("Volumes/EFI/EFI");
    const QString second = f.env.path("boot/efi/EFI");
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {first, second});
    EXPECT_EQ(f.log.lines, QStringList{"EFI is not mounted; skipping config copy to avoid prompts/hangs."});

    QDir().mkpath(first);
    writeFile(second + "/CLOVER/config.plist", kCloverConfig);
    f.log.lines.clear();
    copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {f.env.path("missing"), first, second});
    EXPECT_EQ(f.log.lines, QStringList({"CLOVER config.plist not found on mounted EFI.", "OC config.plist not found on mounted EFI."}));
    EXPECT_TRUE(QDir(f.work()).isEmpty());
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
    EXPECT_EQ(readText(f.work() + "/CLOVER-config.plist"), QString(kCloverConfig).replace("C02XK1ZZJV3Q", "XX-MASKED-XX")
                                                               .replace("0F3D2A41-7B7E-4C55-9E2B-3A5F6B7C8D9E", "XX-MASKED-XX"));
    const QString openCore = readText(f.work() + "/OC-config.plist");
    EXPECT_TRUE(openCore.startsWith("<?xml") && openCore.contains("iMac19,1")) << openCore.toStdString();
    EXPECT_FALSE(openCore.contains("C02739300CDJHX8JC"));
    EXPECT_EQ(readFile(root + "/CLOVER/config.plist"), kCloverConfig); // the partition itself is never changed
}

TEST(EfiConfigCopy, AFailedCopyThrowsBeforeTheOpenCoreConfiguration)
{
    StepFixture f;
    const QString root = f.env.path("EFI");
    QDir().mkpath(root + "/CLOVER/config.plist"); // a folder where the file should be: it cannot be read
    writeFile(root + "/OC/config.plist", kCloverConfig);
    EXPECT_THROW(copyAndSanitizeMountedEFIOnly(f.ctx, f.work(), {root}), PlatformError);
    EXPECT_TRUE(f.log.lines.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(f.work() + "/OC-config.plist"));
}
