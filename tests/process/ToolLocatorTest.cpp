#include "process/ToolLocator.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using velkor::testing::writeFile;
using velkor::testing::writeScript;

namespace {

struct Layout {
    QTemporaryDir root;
    QString home = root.filePath("home");
    QString apps = root.filePath("apps");
    AppBundle bundle = AppBundle::atBundlePath(apps + "/Velkor.app", home);
    QString tools = bundle.resourcesPath + "/Tools";
};

} // namespace

TEST(ToolLocator, CandidatesFollowTheFixedOrderWithoutDuplicates)
{
    Layout at;
    EXPECT_EQ(ToolLocator(at.bundle).executableCandidates("patchmatic"),
              QStringList({at.tools + "/patchmatic", at.bundle.resourcesPath + "/patchmatic", at.apps + "/patchmatic",
                           at.home + "/Desktop/patchmatic", "/usr/local/bin/patchmatic", "/opt/homebrew/bin/patchmatic",
                           "/usr/bin/patchmatic", "/bin/patchmatic"}));
    // An application that sits on the Desktop: the two places are one.
    const AppBundle onDesktop = AppBundle::atBundlePath(at.home + "/Desktop/Velkor.app", at.home);
    EXPECT_EQ(ToolLocator(onDesktop).resourceCandidates("x"),
              QStringList({onDesktop.resourcesPath + "/Tools/x", onDesktop.resourcesPath + "/x", at.home + "/Desktop/x"}));
}

TEST(ToolLocator, TheFirstExecutableWinsAndOnlyTheBundleGetsItsExecuteBitBack)
{
    Layout at;
    writeFile(at.tools + "/patchmatic", "#!/bin/sh\n");
    QFile::setPermissions(at.tools + "/patchmatic", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    writeScript(at.apps + "/patchmatic", "exit 0");
    EXPECT_EQ(ToolLocator(at.bundle).findExecutable("patchmatic"), at.tools + "/patchmatic");
    EXPECT_TRUE(QFileInfo(at.tools + "/patchmatic").isExecutable());

    writeScript(at.home + "/Desktop/tool-x", "exit 0");
    writeScript(at.apps + "/tool-x", "exit 0");
    EXPECT_EQ(ToolLocator(at.bundle).findExecutable("tool-x"), at.apps + "/tool-x");

    const QString onDesktop = at.home + "/Desktop/velkor-test-tool-nowhere-else";
    writeFile(onDesktop, "#!/bin/sh\n");
    QFile::setPermissions(onDesktop, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(ToolLocator(at.bundle).findExecutable("velkor-test-tool-nowhere-else"), std::nullopt);
    EXPECT_FALSE(QFileInfo(onDesktop).isExecutable());
    EXPECT_EQ(ToolLocator(at.bundle).findResource("velkor-test-tool-nowhere-else"), onDesktop);
    EXPECT_EQ(ToolLocator(at.bundle).findResource("velkor-no-such-tool"), std::nullopt);
    // A link inside the bundle to that file: the repair does not reach through it.
    QDir().mkpath(at.tools);
    QFile::link(onDesktop, at.tools + "/velkor-test-tool-nowhere-else");
    EXPECT_EQ(ToolLocator(at.bundle).findExecutable("velkor-test-tool-nowhere-else"), std::nullopt);
    EXPECT_FALSE(QFileInfo(onDesktop).isExecutable());
}
