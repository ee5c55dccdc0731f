#include "app/StandardSteps.h"
#include "collector/CollectorModel.h"
#include "platform/MachineIdentifiers.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

class PlantedIdentifierSource : public MachineIdentifierSource {
public:
    std::vector<MachineIdentifier> identifiers() const override
    {
        return {{IdentifierKind::SerialNumber, "C02N42J7G3QC"}, {IdentifierKind::LoginName, "zantrouser"}, {IdentifierKind::HostName, "workbench-17"}};
    }
};

} // namespace

// The privacy audit runs before the run log is written, and the log file is masked with the
// machine's identifiers too; the window keeps the text as it was.
TEST(StandardSteps, TheRunLogFileIsMaskedAfterTheAuditAndTheWindowKeepsTheText)
{
    TestEnvironment env;
    env.addTool("patchmatic", "exit 0");
    env.platform.identifiers = std::make_shared<PlantedIdentifierSource>();
    const CollectionSteps steps = standardCollectionSteps();
    CollectionSteps onlyAudit;
    onlyAudit.auditPrivacy = steps.auditPrivacy;
    onlyAudit.maskCollectorLog = steps.maskCollectorLog;
    CollectorModel model(env.platform, onlyAudit);
    model.append("Target Desktop: /home/zantrouser/Desktop on workbench-17, serial c02n42j7g3qc");
    model.startCollection();
    ASSERT_TRUE(waitForRunToEnd(model));
    ASSERT_FALSE(model.lastZipURL().isEmpty()) << model.logText().toStdString();

    QTemporaryDir unpacked;
    runProcess("/usr/bin/unzip", {"-q", model.lastZipURL(), "-d", unpacked.path()}, std::nullopt, 30);
    const QString log = readText(unpacked.filePath("SendToZantro_Work/collector-log.txt"));
    EXPECT_TRUE(log.contains("Target Desktop: /home/XX-MASKED-XX/Desktop on XX-MASKED-XX, serial XX-MASKED-XX")) << log.toStdString();
    EXPECT_TRUE(log.contains("Privacy audit: checked 3 identifier(s)")) << log.toStdString();
    EXPECT_TRUE(QFileInfo::exists(unpacked.filePath("SendToZantro_Work/privacy-audit.txt")));
    EXPECT_TRUE(model.logText().contains("/home/zantrouser/Desktop on workbench-17"));
}
