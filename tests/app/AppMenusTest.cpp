#include "app/AppMenus.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

QByteArray infoPlist(const QByteArray& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>"
        + entries + "</dict></plist>\n";
}

} // namespace

// Each key falls back on its own ("1.0", "1") when it is missing or not a text; a file that
// cannot be read as a dictionary gives both fallbacks.
TEST(BundleVersions, ReadsBothKeysOfAnInfoPlistOrTheirFallbacks)
{
    QTemporaryDir dir;
    const struct {
        QByteArray content;
        const char* shortVersion;
        const char* buildVersion;
    } cases[] = {
        {infoPlist("<key>CFBundleShortVersionString</key><string>2.4.1</string><key>CFBundleVersion</key><string>77</string>"), "2.4.1", "77"},
        {infoPlist("<key>CFBundleVersion</key><string>9</string>"), "1.0", "9"},
        {infoPlist("<key>CFBundleShortVersionString</key><string>3.0</string><key>CFBundleVersion</key><integer>12</integer>"), "3.0", "1"},
        {"<plist><dict><key>CFBundleVersion</key><string>5", "1.0", "1"},
        {"<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>2.0</string></array></plist>", "1.0", "1"},
        {"", "1.0", "1"},
        {QByteArray("bplist00\xff\xff\xff\x01\x02", 13), "1.0", "1"},
    };
    const QString path = dir.filePath("Info plist ä \"q\".plist");
    for (const auto& example : cases) {
        writeFile(path, example.content);
        const BundleVersions versions = readBundleVersions(path);
        EXPECT_EQ(versions.shortVersion, example.shortVersion) << example.content.toStdString();
        EXPECT_EQ(versions.buildVersion, example.buildVersion) << example.content.toStdString();
    }
    for (const QString& unreadable : {dir.filePath("missing.plist"), dir.path()})
        EXPECT_EQ(readBundleVersions(unreadable).buildVersion, "1");
}

TEST(AppMenus, TextsOfTheAboutPanelAndTheHelpAlert)
{
    const AppMenus menus(QStringLiteral("/nonexistent/Info.plist"));
    EXPECT_EQ(menus.applicationName(), "Velkor");
    EXPECT_EQ(menus.applicationVersion(), "1.0");
    EXPECT_EQ(menus.buildVersion(), "1");
    const QStringList credits = menus.credits().split('\n');
    ASSERT_EQ(credits.size(), 3);
    EXPECT_EQ(credits[0], menus.authorLine());
    EXPECT_FALSE(credits[0].isEmpty());
    EXPECT_EQ(credits[1], "");
    EXPECT_EQ(credits[2], "Velkor creates a sanitized diagnostic package for macOS hardware analysis.");
    EXPECT_EQ(menus.helpTitle(), "Velkor Help");
    EXPECT_EQ(menus.helpText(),
              "Velkor collects ACPI tables, native IORegistry text, CPUFriend/XCPM/FrequencyVectors diagnostics, "
              "audio/video/system diagnostics, USB controller details, power information, loaded kext information and "
              "generates a sanitized SendToZantro.zip on the Desktop. Sensitive values such as serial numbers, UUIDs, "
              "MLB, ROM and MAC addresses are masked before packaging. The generated Portwright.kext is built from live "
              "IOKit data and does not require a saved .ioreg file.");
}

TEST(AppMenus, RequestsArriveOnTheNextTurnOfTheEventLoop)
{
    AppMenus menus(QStringLiteral("/nonexistent/Info.plist"));
    QSignalSpy about(&menus, &AppMenus::aboutRequested);
    QSignalSpy help(&menus, &AppMenus::helpRequested);
    menus.showAbout();
    menus.showHelp();
    EXPECT_EQ(about.count(), 0);
    EXPECT_EQ(help.count(), 0);
    EXPECT_TRUE(help.wait(1000));
    EXPECT_EQ(about.count(), 1);
    EXPECT_EQ(help.count(), 1);
}
