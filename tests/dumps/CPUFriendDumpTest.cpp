#include "dumps/CPUFriendDump.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QString kFailureIntro = "CPUFriend-Dump failed or timed out. Main Velkor collection continued safely.\n\n";
const QString kFailureWarning = "WARNING: CPUFriend-Dump failed or timed out; partial folder kept in ZIP.";

QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

TEST(CPUFriendDump, WithoutTheScriptOnlyTheSkipNoteIsLeft)
{
    StepFixture f;
    collectCPUFriendDump(f.ctx, f.work());
    const QString folder = f.work() + "/CPUFriend-Dump";
    EXPECT_EQ(folderEntries(folder), QStringList{"CPUFriend-Dump-skipped.txt"});
    EXPECT_EQ(readText(folder + "/CPUFriend-Dump-skipped.txt"),
              "CPUFriend-Dump.command was not found in bundled Resources/Tools. CPUFriend diagnostics were skipped, but the "
              "main SendToZantro.zip generation can continue.\n");
    EXPECT_EQ(f.log.lines, QStringList{"WARNING: CPUFriend-Dump.command not found; CPUFriend diagnostics skipped."});
}

TEST(CPUFriendDump, TheScriptWritesIntoAFreshFolderAndItsOutputIsMasked)
{
    StepFixture f;
    const QString folder = f.work() + "/CPUFriend-Dump";
    writeFile(folder + "/old/nested.txt", "from an earlier run");
    // Found under its short name too; its execute bit is given back.
    const QString script = f.env.addTool("CPUFriend-Dump",
                                         "echo \"platform_UUID 0F3D2A41-7B7E-4C55-9E2B-3A5F6B7C8D9E en0 00:1b:63:84:45:e6\"\n"
                                         "echo 'IOPlatformUUID: 0F3D2A41-7B7E-4C55-9E2B-3A5F6B7C8D9E' > \"$1/ioreg-cpu.txt\"\n"
                                         "echo 'keep' > \"$1/frequencies.bin\"");
    QFile::setPermissions(script, QFileDevice::ReadOwner);

    collectCPUFriendDump(f.ctx, f.work());

    EXPECT_TRUE(f.log.lines.isEmpty());
    EXPECT_EQ(folderEntries(folder), QStringList({"CPUFriend-Dump-run.log", "frequencies.bin", "ioreg-cpu.txt"}));
    EXPECT_EQ(readText(folder + "/CPUFriend-Dump-run.log"), "platform_UUID XX-MASKED-XX\n");
    EXPECT_EQ(readText(folder + "/ioreg-cpu.txt"), "IOPlatformUUID: XX-MASKED-XX\n");
    EXPECT_TRUE(QFileInfo(script).isExecutable());
}

TEST(CPUFriendDump, AScriptThatFailsOrRunsPastItsTimeOutLeavesTheReasonAndItsPartialFolder)
{
    StepFixture f;
    const QString folder = f.work() + "/CPUFriend-Dump";
    const QString script = f.env.addTool("CPUFriend-Dump.command", "echo 'Serial Number: W80123456' > \"$1/partial.txt\"\n"
                                                                   "echo 'en0 00:1B:63:84:45:E6'\nexit 1");
    collectCPUFriendDump(f.ctx, f.work());
    EXPECT_EQ(readText(folder + "/CPUFriend-Dump-run.log"),
              kFailureIntro + "Command failed: /bin/bash " + script + " " + folder + "\nen0 XX:XX:XX:XX:XX:XX\n\n");
    EXPECT_EQ(readText(folder + "/partial.txt"), "Serial Number: XX-MASKED-XX\n");
    EXPECT_EQ(f.log.lines, QStringList{kFailureWarning});

    f.env.addTool("CPUFriend-Dump.command", "echo 'Serial Number: W80123456' > \"$1/partial.txt\"\necho started\nexec sleep 30");
    QElapsedTimer clock;
    clock.start();
    collectCPUFriendDumpWithTimeout(f.ctx, f.work(), 1);
    EXPECT_LT(clock.elapsed(), 10000);
    const QString runLog = readText(folder + "/CPUFriend-Dump-run.log");
    EXPECT_TRUE(runLog.startsWith(kFailureIntro + "Timeout after 1s: /bin/bash ")) << runLog.toStdString();
    EXPECT_TRUE(runLog.endsWith("\nstarted\n\n"));
    EXPECT_EQ(readText(folder + "/partial.txt"), "Serial Number: XX-MASKED-XX\n");
}
