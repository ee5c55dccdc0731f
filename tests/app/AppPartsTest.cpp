#include "app/AppMenus.h"
#include "app/RunPresenter.h"
#include "app/SingleInstance.h"
#include "app/StandardSteps.h"
#include "platform/MachineIdentifiers.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

// Each key falls back on its own ("1.0", "1"); a file that is no dictionary gives both fallbacks.
TEST(BundleVersions, ReadsBothKeysOfAnInfoPlistOrTheirFallbacks)
{
    QTemporaryDir dir;
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    const struct {
        QByteArray content;
        const char* versions;
    } cases[] = {
        {head + "<key>CFBundleShortVersionString</key><string>2.4.1</string><key>CFBundleVersion</key><string>77</string></dict></plist>",
         "2.4.1 77"},
        {head + "<key>CFBundleVersion</key><string>9</string></dict></plist>", "1.0 9"},
        {head + "<key>CFBundleShortVersionString</key><string>3.0</string><key>CFBundleVersion</key><integer>12</integer></dict></plist>", "3.0 1"},
        {"<plist><dict><key>CFBundleVersion</key><string>5", "1.0 1"},
        {"<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>2.0</string></array></plist>", "1.0 1"},
        {"", "1.0 1"},
        {QByteArray("bplist00\xff\xff\xff\x01\x02", 13), "1.0 1"},
    };
    const QString path = dir.filePath("Info plist ä \"q\".plist");
    for (const auto& example : cases) {
        writeFile(path, example.content);
        const BundleVersions versions = readBundleVersions(path);
        EXPECT_EQ(versions.shortVersion + " " + versions.buildVersion, example.versions) << example.content.toStdString();
    }
    for (const QString& unreadable : {dir.filePath("missing.plist"), dir.path()})
        EXPECT_EQ(readBundleVersions(unreadable).buildVersion, "1");
}

TEST(PathForDisplay, ShowsTheHomeFolderAsATilde)
{
    const char* cases[][3] = {
        {"/home/anna/Schreibtisch/SendToZantro.zip", "/home/anna", "~/Schreibtisch/SendToZantro.zip"},
        {"/home/anna", "/home/anna", "~"},
        {"/home/anna2/Desktop/SendToZantro.zip", "/home/anna", "/home/anna2/Desktop/SendToZantro.zip"},
        {"/srv/Desktop/SendToZantro.zip", "/home/anna", "/srv/Desktop/SendToZantro.zip"},
        {"/Desktop/SendToZantro.zip", "/", "/Desktop/SendToZantro.zip"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pathForDisplay(c[0], c[1]), c[2]) << c[0];
}

// The audit runs before the run log is written, which it masks too; the window keeps the text.
TEST(StandardSteps, TheRunLogFileIsMaskedAfterTheAuditAndTheWindowKeepsTheText)
{
    struct PlantedIdentifiers : MachineIdentifierSource {
        std::vector<MachineIdentifier> identifiers() const override
        {
            return {{IdentifierKind::SerialNumber, "C02N42J7G3QC"}, {IdentifierKind::LoginName, "zantrouser"},
                    {IdentifierKind::HostName, "workbench-17"}};
        }
    };
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    env.platform.identifiers = std::make_shared<PlantedIdentifiers>();
    const CollectionSteps steps = standardCollectionSteps();
    CollectionSteps onlyAudit;
    onlyAudit.auditPrivacy = steps.auditPrivacy;
    onlyAudit.maskCollectorLog = steps.maskCollectorLog;
    CollectorModel model(env.platform, onlyAudit);
    model.append("Target Desktop: /home/zantrouser/Desktop on workbench-17, serial c02n42j7g3qc");
    model.startCollection();
    ASSERT_TRUE(waitForRunToEnd(model));
    ASSERT_FALSE(model.lastZipURL().isEmpty()) << model.logText().toStdString();
    const QString log = runProcess("/usr/bin/unzip", {"-p", model.lastZipURL(), "SendToZantro_Work/collector-log.txt"}, std::nullopt, 30);
    EXPECT_TRUE(log.contains("Target Desktop: /home/XX-MASKED-XX/Desktop on XX-MASKED-XX, serial XX-MASKED-XX")) << log.toStdString();
    EXPECT_TRUE(log.contains("Privacy audit: checked 3 identifier(s)")) << log.toStdString();
    EXPECT_TRUE(model.logText().contains("/home/zantrouser/Desktop on workbench-17"));
}

// The first copy takes over what a crashed one left, later ones ask it to show its window; no lock, no block.
TEST(SingleInstance, TheFirstCopyTakesOverWhatACrashedOneLeftAndLaterCopiesAskItToShowItsWindow)
{
    QTemporaryDir folder;
    writeFile(folder.filePath("velkor.lock"), "");
    writeFile(folder.filePath("velkor.socket"), "");
    SingleInstance first(folder.path());
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    int requests = 0;
    QObject::connect(&first, &SingleInstance::showRequested, [&] { ++requests; });
    for (int copy = 1; copy <= 2; ++copy) {
        EXPECT_EQ(SingleInstance(folder.path()).claim(), SingleInstance::Claim::OtherShown);
        EXPECT_TRUE(QTest::qWaitFor([&] { return requests == copy; }, 5000)) << copy;
    }
    EXPECT_EQ(SingleInstance("/nonexistent/velkor").claim(), SingleInstance::Claim::First);
}
