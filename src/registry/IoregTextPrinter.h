#pragma once

#include "registry/Registry.h"

#include <QString>

namespace velkor {

// One plane of a registry in the text form `ioreg -l -w0` prints: a "+-o Name@location  <class
// X, id 0x...>" line per entry, drawn as a tree, each followed by its property block when
// withProperties is set. Values are written the way ioreg writes them: "text", numbers in
// decimal, Yes/No, <hex> data (<"a","b"> for data that is printable texts separated by zero
// bytes, a zero byte at the end left out), (a,b) arrays and {"k"=v} dictionaries.
// loadIoregText reads the result back to the same tree, but for that final zero byte.
//
// The walk is iterative and stops at 512 levels and 200 000 entries; *truncated (when given)
// tells whether anything was left out.
QString printIoregText(const Registry& registry, const QString& plane, bool withProperties = true,
                       bool* truncated = nullptr);

} // namespace velkor
