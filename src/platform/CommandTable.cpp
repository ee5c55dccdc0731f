#include "platform/CommandTable.h"

#include "platform/AppBundle.h"

namespace velkor {

QString StockCommand::commandLine() const
{
    return program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
}

CommandTable CommandTable::forLinux(const AppBundle& bundle)
{
    CommandTable table;
    // The bundled listing tool prints a registry plane in the "ioreg -l -w0" text form.
    table.deviceTreeListing = {bundle.toolsPath() + QStringLiteral("/ioreg"),
                               {QStringLiteral("-p"), QStringLiteral("IODeviceTree"), QStringLiteral("-l"), QStringLiteral("-w0")}};
    return table;
}

} // namespace velkor
