#pragma once

#include <QString>
#include <QStringList>

namespace velkor {

struct AppBundle;

// One external command: the program by absolute path and its arguments.
struct StockCommand {
    QString program;
    QStringList arguments;

    QString commandLine() const;
};

// The stock tools the dumps and reports run. On Linux each holds the command that shows the
// same facts as the macOS tool the collection was designed around. Tests build their own.
struct CommandTable {
    // The IODeviceTree plane listing written as "ioregAPP.txt".
    StockCommand deviceTreeListing;

    static CommandTable forLinux(const AppBundle& bundle);
};

} // namespace velkor
