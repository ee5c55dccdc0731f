#pragma once

#include "steps/StepContext.h"

#include <QString>
#include <optional>

namespace velkor {

// Report writers: each runs its tools, masks the joined text and writes it atomically to `to`.
// A tool that fails or times out becomes text in the report; only the final write throws.

// "system-info.txt": the program, the date, OS version, kernel identity and hardware overview.
void writeSystemInfo(StepContext& ctx, const QString& to);

// "VDADecoderChecker.txt": what the bundled decode checker prints, then the displays overview.
void writeVDADecoderReport(StepContext& ctx, const QString& to, const std::optional<QString>& bundledTool);

// "KextsLoaded.txt": the loaded drivers that matter for a hackintosh, filtered by name.
void writeKextsLoadedReport(StepContext& ctx, const QString& to);

// "PowerManagement.txt": power settings, assertions, schedule and capabilities, one block each.
void writePowerManagementReport(StepContext& ctx, const QString& to);

} // namespace velkor
