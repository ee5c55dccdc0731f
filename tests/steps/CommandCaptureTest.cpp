#include "steps/CommandCapture.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

// A command that fails or cannot start leaves its failure text in the file instead of its
// output, masked like any output.
TEST(CommandCapture, FailuresLeaveTheMaskedFailureTextInTheFile)
{
    StepFixture f;
    const QString script = writeScript(f.env.path("pmset"), "echo 'en0 00:1b:63:84:45:e6'\nexit 1");
    const QString target = f.work() + "/Pmset.txt";
    captureCommandOutput({"/bin/sh", {"-c", script + " -g"}}, 8, target);
    const QString commandLine = "/bin/sh -c " + script + " -g";
    EXPECT_EQ(readText(target), "Failure/timeout while running " + commandLine + "\nCommand failed: " + commandLine
                                    + "\nen0 XX:XX:XX:XX:XX:XX\n\n");

    captureCommandOutput({"/nonexistent/tool", {"-g"}}, 8, target);
    EXPECT_TRUE(readText(target).startsWith("Failure/timeout while running /nonexistent/tool -g\nCould not launch"));

    captureCommandOutput(f.fake("ok", "echo 'id 12345678-1234-1234-1234-123456789ABC'"), 8, target);
    EXPECT_EQ(readText(target), "id XX-MASKED-UUID\n");
}
