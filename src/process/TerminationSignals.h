#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace velkor {

// Turns SIGTERM, SIGINT and SIGHUP into a call on the thread that owns this object, so that a
// terminated Velkor ends like one whose window was closed: its tools' groups ended, its
// temporary folders and any half-written archive removed. The handler only writes a byte into
// a pipe; the work happens in the event loop. After the first signal the default action is
// back, so a second one ends the program at once. One instance per process.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    void dispatch();

    std::function<void(int)> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace velkor
