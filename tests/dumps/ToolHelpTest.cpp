// Every tool shipped in Resources/Tools explains itself on --help and -h, and takes no option
// for a folder or file name.
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

TEST(BundledTools, EveryToolAnswersHelpWithoutTouchingTheFolder)
{
    const QDir tools(QStringLiteral(VELKOR_BUILT_TOOLS_DIR));
    const QStringList names = tools.entryList(QDir::Files | QDir::Executable);
    // The shell tools, the command table's two scripts and the compiled registry lister.
    ASSERT_GE(names.size(), 9) << names.join(' ').toStdString();
    for (const QString& name : names) {
        for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
            const QTemporaryDir work;
            const ProcessOutcome outcome = runProcessRaw(tools.filePath(name), {option}, work.path(), 30);
            const std::string label = (name + ' ' + option).toStdString();
            EXPECT_EQ(outcome.exitStatus, 0) << label << ": " << outcome.output.toStdString();
            EXPECT_TRUE(outcome.output.contains("usage: " + name.toUtf8())) << label << ": " << outcome.output.toStdString();
            EXPECT_TRUE(QDir(work.path()).isEmpty()) << label << " left " << QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).join(' ').toStdString();
        }
    }
}

TEST(BundledTools, AnUnknownOptionIsNeverTakenForAFolder)
{
    const QDir tools(QStringLiteral(VELKOR_BUILT_TOOLS_DIR));
    for (const QString& name : {QStringLiteral("CPUFriend-Dump.command"), QStringLiteral("ListCodec.command"),
                                QStringLiteral("VDADecoderChecker")}) {
        const QTemporaryDir work;
        const ProcessOutcome outcome = runProcessRaw(tools.filePath(name), {QStringLiteral("--verbose")}, work.path(), 30);
        EXPECT_EQ(outcome.exitStatus, 2) << name.toStdString() << ": " << outcome.output.toStdString();
        EXPECT_TRUE(QDir(work.path()).isEmpty()) << name.toStdString();
    }
}
