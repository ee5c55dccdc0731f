#pragma once

#include "base/LogSink.h"

#include <QStringList>

namespace velkor::testing {

// Keeps the lines a step logs, in order.
class RecordingLog : public LogSink {
public:
    void log(const QString& message) override { lines.append(message); }
    QStringList lines;
};

} // namespace velkor::testing
