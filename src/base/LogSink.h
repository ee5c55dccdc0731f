#pragma once

#include <QString>

namespace velkor {

// Where a step reports progress. The collector's implementation hops to the main thread and
// waits, so lines appear in the order the steps write them.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void log(const QString& message) = 0;
};

} // namespace velkor
