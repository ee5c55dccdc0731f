#pragma once

#include "platform/MachineIdentifiers.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace velkor {

class PropertyListService;

// Masks a text; nothing when it could not be masked. Tests pass one that fails.
using TextMasker = std::function<std::optional<QString>(QString text)>;

// What masking one file did.
struct FileSanitizing {
    // False when the file could not be read and masked: it was removed so that it cannot reach
    // the package unmasked. The caller says so in the run log.
    bool masked = true;
    // Values the file's bootloader identity keys held (serial number, MLB, ROM, UUIDs) before
    // they were masked, so that other files can be searched for them.
    std::vector<MachineIdentifier> configuredIdentifiers;
};

// Masks one file in place. A "plist", "spx" or "xml" file is first rewritten as an XML property
// list when it is one (a binary plist becomes text; anything else stays as it was). The file is
// then read whole and decoded: UTF-16 (by its byte-order mark, or by the shape of its bytes),
// UTF-8, or else byte for byte as Latin-1, so any other 8-bit text is masked too and every byte
// outside a match comes back unchanged. After the ten redaction rules, the values of a
// bootloader's identity keys are masked as well. The result is written back atomically in the
// encoding it was read in, even when nothing changed. A path that is not a regular file (a
// link, a folder, a pipe) is left alone. A text the engine could not mask is replaced by a
// one-line note. Throws PlatformError when the write fails, or when a file that cannot be read
// cannot be removed either.
FileSanitizing sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path);
FileSanitizing sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path, const TextMasker& mask);

struct FolderSanitizing {
    // Files removed because they could not be masked, relative to the folder.
    QStringList removed;
    std::vector<MachineIdentifier> configuredIdentifiers;
};

// Masks every text-like file (isTextLikeFile) below the folder, hidden ones included; symbolic
// links are never followed. A missing folder, or a link in its place, is left alone. Throws
// PlatformError when a write fails, when a folder cannot be read or a name is not UTF-8, or
// when the tree is deeper or larger than any package can be, so that nothing is archived
// unmasked or with files the walk did not reach.
FolderSanitizing sanitizeDirectory(PropertyListService& propertyLists, const QString& folder);
FolderSanitizing sanitizeDirectory(PropertyListService& propertyLists, const QString& folder, const TextMasker& mask);

// The run-log line for a file that left the package because it could not be masked.
QString unmaskableFileWarning(const QString& name);

// Masks, after the ten rules, the values of the identity keys a bootloader configuration
// carries (SystemSerialNumber, ChassisSerialNumber, MLB, BoardSerialNumber, ROM, SystemUUID,
// SmUUID and the "<GUID>:MLB" / "<GUID>:ROM" NVRAM keys, as <string> or <data>). `original` is
// the text before the rules, where the values are still whole; they are added to `found`.
QString maskBootloaderIdentity(const QString& original, QString masked, std::vector<MachineIdentifier>* found);

} // namespace velkor
