#include "steps/CommandCapture.h"

#include "base/CollectorError.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"

#include <optional>

namespace velkor {

QString commandFailureText(const StockCommand& command, const std::exception& reason)
{
    return failureText(command.program, command.arguments) + QLatin1Char('\n') + describeError(reason) + QLatin1Char('\n');
}

void captureCommandOutput(const StockCommand& command, double timeoutSeconds, const QString& target)
{
    QString text;
    try {
        text = runProcess(command.program, command.arguments, std::nullopt, timeoutSeconds);
    } catch (const std::exception& error) {
        // The partial output inside a time-out's reason is masked like any other output.
        text = commandFailureText(command, error);
    }
    // Outside the try: a failed write is no failed command, it ends the step.
    writeTextFile(target, maskText(text));
}

} // namespace velkor
