#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

namespace velkor {

class Registry;
class RegistryEntry;
struct StepContext;

// "ioreg.txt": a compact listing of the registry's IOService plane, one line per entry and a
// fixed set of properties under it, bounded in entries and value length, masked before it is
// written.

// Builds the listing from the registry's root and writes it, masked, atomically. Throws
// CollectorError when the registry has no root entry (nothing is written then) and
// PlatformError when the file cannot be written.
void writeFallbackIORegText(const Registry& registry, const QString& to,
                            const QDateTime& generatedAt = QDateTime::currentDateTimeUtc());

// The pipeline's step: the machine's registry from the platform; a platform without one
// fails as a registry without a root entry does.
void writeFallbackIORegTextStep(StepContext& context, const QString& to);

// Appends an entry, its properties and its whole subtree in the IOService plane to lines.
// Each entry takes one unit of remaining; the walk stops when none is left. True when the
// budget left out an entry that exists.
bool appendRegistryEntryText(const RegistryEntry& entry, int depth, QStringList& lines, int& remaining);

// One line of text for any property value.
QString renderedRegistryValue(const QVariant& value);
// One line of text for a data blob: short printable text as text, anything else as hex.
QString renderedRegistryData(const QByteArray& data);

} // namespace velkor
