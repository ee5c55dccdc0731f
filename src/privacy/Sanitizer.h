#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace velkor {

class PropertyListService;

// Masks a text; nothing when it could not be masked. Tests pass one that fails.
using TextMasker = std::function<std::optional<QString>(QString text)>;

// Masks one file in place. A "plist", "spx" or "xml" file is first rewritten as an XML
// property list when it is one (a binary plist becomes text; anything else stays as it was).
// The file is then read whole, decoded as UTF-8, masked and written back atomically, even when
// nothing changed. A path that is not a regular file (a symbolic link, a folder, a pipe) and a
// file that cannot be read or is not UTF-8 are left alone. A text the engine could not mask is
// replaced by a one-line note. Throws PlatformError when the write fails.
void sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path);
void sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path, const TextMasker& mask);

// Masks every text-like file (isTextLikeFile) below the folder. Hidden files and folders (names
// beginning with a dot) are skipped, symbolic links are never followed, and a file that cannot
// be read or is not UTF-8 is left alone. A missing folder, or a link in its place, is left alone.
// Throws PlatformError when a write fails, when a folder cannot be read or a name is not UTF-8,
// or when the tree is deeper or larger than any package can be, so that nothing is archived
// unmasked or with files the walk did not reach.
void sanitizeDirectory(PropertyListService& propertyLists, const QString& folder);
void sanitizeDirectory(PropertyListService& propertyLists, const QString& folder, const TextMasker& mask);

} // namespace velkor
