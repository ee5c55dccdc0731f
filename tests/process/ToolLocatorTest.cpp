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
    const QStringList candidates = ToolLocator(at.bundle).executableCandidates("patchmatic");
    EXPECT_EQ(candidates, QStringList({at.tools + "/patchmatic", at.bundle.resourcesPath + "/patchmatic",
                                       at.apps + "/patchmatic", at.home + "/Desktop/patchmatic",
                                       "/usr/local/bin/patchmatic", "/opt/homebrew/bin/patchmatic",
                                       "/usr/bin/patchmatic", "/bin/patchmatic"}));

    // An application that sits on the Desktop: the two places are one.
    const AppBundle onDesktop = AppBundle::atBundlePath(at.home + "/Desktop/Velkor.app", at.home);
    const QStringList resources = ToolLocator(onDesktop).resourceCandidates("x");
    EXPECT_EQ(resources.size(), 3);
    EXPECT_EQ(resources.last(), at.home + "/Desktop/x");
}

TEST(ToolLocator, PrefersTheBundleAndRepairsItsExecuteBit)
{
    Layout at;
    writeFile(at.tools + "/patchmatic", "#!/bin/sh\n");
    QFile::setPermissions(at.tools + "/patchmatic", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    writeScript(at.apps + "/patchmatic", "exit 0");
    EXPECT_EQ(ToolLocator(at.bundle).findExecutable("patchmatic"), at.tools + "/patchmatic");
    EXPECT_TRUE(QFileInfo(at.tools + "/patchmatic").isExecutable());
}

TEST(ToolLocator, LeavesFilesOutsideTheBundleUnchanged)
{
    Layout at;
    const QString onDesktop = at.home + "/Desktop/velkor-test-tool-nowhere-else";
    writeFile(onDesktop, "#!/bin/sh\n");
    QFile::setPermissions(onDesktop, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const ToolLocator locator(at.bundle);
    EXPECT_EQ(locator.findExecutable("velkor-test-tool-nowhere-else"), std::nullopt);
    EXPECT_FALSE(QFileInfo(onDesktop).isExecutable());
    // A resource lookup finds it all the same.
    EXPECT_EQ(locator.findResource("velkor-test-tool-nowhere-else"), onDesktop);

    // A link inside the bundle to that file: the repair does not reach through it.
    QDir().mkpath(at.tools);
    QFile::link(onDesktop, at.tools + "/velkor-test-tool-nowhere-else");
    EXPECT_EQ(locator.findExecutable("velkor-test-tool-nowhere-else"), std::nullopt);
    EXPECT_FALSE(QFileInfo(onDesktop).isExecutable());
}

TEST(ToolLocator, AppFolderComesBeforeTheDesktop)
{
    Layout at;
    writeScript(at.home + "/Desktop/tool-x", "exit 0");
    writeScript(at.apps + "/tool-x", "exit 0");
    EXPECT_EQ(ToolLocator(at.bundle).findExecutable("tool-x"), at.apps + "/tool-x");
}

TEST(ToolLocator, NothingFoundChangesNothing)
{
    Layout at;
    const ToolLocator locator(at.bundle);
    EXPECT_EQ(locator.findExecutable("velkor-no-such-tool"), std::nullopt);
    EXPECT_EQ(locator.findResource("velkor-no-such-tool"), std::nullopt);
}
