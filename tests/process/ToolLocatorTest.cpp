#include "process/ToolLocator.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

// The fixed search order; only a tool inside the bundle gets its execute bit back, never through a link.
TEST(ToolLocator, SearchOrderAndExecuteBitRepair)
{
    QTemporaryDir root;
    const QString home = root.filePath("home"), apps = root.filePath("apps");
    const AppBundle bundle = AppBundle::atBundlePath(apps + "/Velkor.app", home);
    const QString tools = bundle.resourcesPath + "/Tools";
    const ToolLocator locator(bundle);
    EXPECT_EQ(locator.executableCandidates("t"), QStringList({tools + "/t", bundle.resourcesPath + "/t", apps + "/t", home + "/Desktop/t",
                                                              "/usr/local/bin/t", "/opt/homebrew/bin/t", "/usr/bin/t", "/bin/t"}));
    const AppBundle onDesktop = AppBundle::atBundlePath(home + "/Desktop/Velkor.app", home);
    EXPECT_EQ(ToolLocator(onDesktop).resourceCandidates("x"),
              QStringList({onDesktop.resourcesPath + "/Tools/x", onDesktop.resourcesPath + "/x", home + "/Desktop/x"}));

    writeFile(tools + "/patchmatic", "#!/bin/sh\n"); // not executable
    writeScript(apps + "/patchmatic", "exit 0");
    EXPECT_EQ(locator.findExecutable("patchmatic"), tools + "/patchmatic");
    EXPECT_TRUE(QFileInfo(tools + "/patchmatic").isExecutable());

    const QString name = "velkor-test-tool-nowhere-else";
    writeFile(home + "/Desktop/" + name, "#!/bin/sh\n");
    EXPECT_EQ(locator.findResource(name), home + "/Desktop/" + name);
    EXPECT_EQ(locator.findResource("velkor-no-such-tool"), std::nullopt);
    QFile::link(home + "/Desktop/" + name, tools + "/" + name);
    EXPECT_EQ(locator.findExecutable(name), std::nullopt);
    EXPECT_FALSE(QFileInfo(home + "/Desktop/" + name).isExecutable());
}
