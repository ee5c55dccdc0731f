#pragma once

#include "base/CollectorError.h"
#include "base/LogSink.h"
#include "steps/StepContext.h"
#include "platform/CommandTable.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <QStringList>

namespace velkor::testing {

// Collects the lines a step logs.
class RecordingLog : public LogSink {
public:
    void log(const QString& message) override { lines.append(message); }
    QStringList lines;
};

// A test machine with a work folder, a log and a step context around the environment's platform.
struct DumpsFixture {
    DumpsFixture()
    {
        QDir().mkpath(work());
        QDir().mkpath(fakes());
        // The steps that read the machine (mount table, firmware variables) read this tree.
        env.platform.machineRoot = env.path("machine");
    }
    QString work() const { return env.path("work"); }
    QString fakes() const { return env.path("fakes"); }
    // A command running a fake script of the given body.
    StockCommand fake(const QString& name, const QString& body) const
    {
        return {writeScript(fakes() + "/" + name, body), {}};
    }

    TestEnvironment env;
    RecordingLog log;
    StepContext ctx{log, env.platform};
};

inline QStringList filesBelow(const QString& folder)
{
    QStringList files;
    QDir dir(folder);
    for (const QString& entry : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
        files << dir.filePath(entry);
    for (const QString& sub : dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks))
        files << filesBelow(dir.filePath(sub));
    return files;
}

} // namespace velkor::testing
