#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <map>

namespace velkor {

class Registry;
class RegistryEntry;

// ACPI tables that the registry holds as property values (the platform node's "ACPI Tables"
// dictionary, for instance), written into the ACPI folder when patchmatic left them out.

// Table blobs by their own signature, in the order the walk found them.
using ACPITableCollection = std::map<QString, QList<QByteArray>>;

// The signatures of the tables worth keeping.
const QSet<QString>& wantedACPISignatures();

// The names of the entries directly in the folder (hidden ones and entries of any kind included)
// whose extension, lower-cased, is "aml", in byte order; none when the folder cannot be listed.
QStringList acpiTableFiles(const QString& folder);

// Walks both planes of the registry from its root and writes every table not yet in acpiDir
// as a ".aml" file; an existing file is never replaced. Returns the number written. Never
// fails: a missing registry, unreadable entries and failed writes count nothing.
int extractNativeACPITablesIfNeeded(const Registry* registry, const QString& acpiDir);

// Collects the table blobs among an entry's properties and those of its descendants in a
// plane. The k-th child of an entry is visited with the entry's budget minus k; an entry
// visited with budget 1 has its properties read and its children skipped.
void collectACPITables(const RegistryEntry& from, const QString& plane, const QSet<QString>& wanted,
                       ACPITableCollection& collected, int remaining);

// Whether the signature is four characters of "A"-"Z", "0"-"9" and "!", and the header's
// length field lies between 36 and the blob's size.
bool acpiTableHeaderLooksValid(const QByteArray& blob, const QString& signature);

} // namespace velkor
