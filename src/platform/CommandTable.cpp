#include "platform/CommandTable.h"

namespace velkor {

QString StockCommand::commandLine() const
{
    return program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
}

} // namespace velkor
