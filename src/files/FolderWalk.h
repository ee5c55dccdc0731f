#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <sys/types.h>

namespace velkor {

enum class EntryKind { File, Folder, Link, Other }; // Other: a pipe, socket or device

struct FolderEntry {
    QString path;     // the walked folder's path, "/" and `relative`
    QString relative; // the names below the walked folder, joined by "/"
    EntryKind kind;
    mode_t mode;      // type and permission bits of the entry itself (a link's own)
    qint64 size;
    int depth;        // 0 for the walked folder's own entries
    bool afterContents = false; // a folder met once more after everything below it
    // The open folder that holds the entry and the entry's name in it, as the file system
    // spells it; valid during the call only. Operations relative to them (unlinkat, openat,
    // readlinkat) cannot be diverted by a link swapped in higher up.
    int parentFd;
    const char* name;
};

struct WalkOptions {
    bool includeHidden = true;   // names beginning with a dot; a hidden folder is not entered
    bool subfolders = true;      // false: the folder's own entries only
    int maxDepth = 64;           // an entry nested deeper than this fails the walk
    qsizetype maxEntries = 200000; // more entries in all fail the walk
    // A name that is not UTF-8 cannot be handed on as a path: it fails the walk unless allowed
    // (then `path` and `relative` show it with replacement characters; only `name` is exact).
    bool allowNonUtf8Names = false;
    bool revisitFolders = false; // also report each folder with afterContents once it was walked
};

using FolderVisitor = std::function<void(const FolderEntry&)>;

// Visits every entry below the folder without following a symbolic link: a link is reported as
// a link and never entered, nor is the folder itself when a link stands in its place. The
// entries of one folder come in byte order of their names, and a folder comes just before its
// contents. Bounded in depth and count and iterative, so a deep tree does not grow the stack.
// Throws PlatformError, with the reason, when a folder cannot be read, a name is not UTF-8
// (unless allowed) or the tree exceeds the bounds; and passes on what the visitor throws.
void walkFolder(const QString& folder, const WalkOptions& options, const FolderVisitor& visit);

} // namespace velkor
