#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "support/QtPrinters.h"

namespace velkor::testing {

// Writes an executable shell script (mode 755) with the given body after "#!/bin/sh".
QString writeScript(const QString& path, const QString& body);
void writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
QString readText(const QString& path);
// Path of a file under tests/data.
QString testData(const QString& relativePath);
// The helper tools of the build, in the bundle's Resources/Tools.
QString builtTool(const QString& name);
// Every file below a folder, never through a link.
QStringList filesBelow(const QString& folder);
// Lists an archive's entries with unzip -Z1 (one name per line).
QStringList zipEntries(const QString& archive);

} // namespace velkor::testing
