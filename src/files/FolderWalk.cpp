#include "files/FolderWalk.h"

#include "base/CollectorError.h"

#include <QFile>
#include <QUtf8StringView>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velkor {
namespace {

[[noreturn]] void failToRead(const QString& folder, int error)
{
    throw PlatformError(QStringLiteral("Could not read the folder “%1”: %2").arg(folder, systemReason(error)));
}

EntryKind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    if (S_ISLNK(mode))
        return EntryKind::Link;
    return EntryKind::Other;
}

struct Item {
    QByteArray name;
    struct stat info;
};

// One open folder of the walk, with its entries read and sorted up front so that what a
// visitor writes into the folder does not change what is walked.
struct Level {
    DIR* dir = nullptr;
    int fd = -1;
    QString path;
    QString relative; // empty for the walked folder
    int depth = 0;    // of the entries inside
    std::vector<Item> items;
    size_t next = 0;
    FolderEntry self{}; // how the folder was reported, for the visit after its contents
};

QString decodedName(const QByteArray& name, const QString& folder, bool allowNonUtf8)
{
    QString text = QString::fromUtf8(name); // replacement characters for what is not UTF-8
    if (!allowNonUtf8 && !QUtf8StringView(name).isValidUtf8())
        throw PlatformError(QStringLiteral("The folder “%1” holds an entry whose name is not UTF-8: “%2”").arg(folder, text));
    return text;
}

// Opens and reads one folder; the caller has made sure `fd` is a real folder.
Level openLevel(int fd, QString path, QString relative, int depth, const QString& walked, const WalkOptions& options,
                qsizetype& entries)
{
    Level level;
    level.fd = fd;
    level.dir = ::fdopendir(fd);
    if (!level.dir) {
        const int error = errno;
        ::close(fd);
        failToRead(path, error);
    }
    level.path = std::move(path);
    level.relative = std::move(relative);
    level.depth = depth;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(level.dir);
        if (!entry) {
            if (errno != 0) {
                const int error = errno;
                ::closedir(level.dir);
                failToRead(level.path, error);
            }
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || (name[0] == '.' && !options.includeHidden))
            continue;
        if (++entries > options.maxEntries) {
            ::closedir(level.dir);
            throw PlatformError(QStringLiteral("The folder “%1” holds more than %2 entries").arg(walked).arg(options.maxEntries));
        }
        Item item{QByteArray(name), {}};
        if (::fstatat(fd, name, &item.info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone since the listing
            const int error = errno;
            ::closedir(level.dir);
            failToRead(level.path, error);
        }
        level.items.push_back(std::move(item));
    }
    std::sort(level.items.begin(), level.items.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
    return level;
}

} // namespace

void walkFolder(const QString& folder, const WalkOptions& options, const FolderVisitor& visit)
{
    const int topFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (topFd < 0)
        failToRead(folder, errno == ELOOP ? ENOTDIR : errno); // a link in the folder's place
    qsizetype entries = 0;
    std::vector<Level> stack;
    try {
        stack.push_back(openLevel(topFd, folder, QString(), 0, folder, options, entries));
        while (!stack.empty()) {
            Level& level = stack.back();
            if (level.next == level.items.size()) {
                FolderEntry self = level.self;
                ::closedir(level.dir);
                stack.pop_back();
                if (options.revisitFolders && !stack.empty()) {
                    // parentFd and name still point into the parent level, which stays open.
                    self.afterContents = true;
                    visit(self);
                }
                continue;
            }
            const Item& item = level.items[level.next++];
            const QString name = decodedName(item.name, level.path, options.allowNonUtf8Names);
            FolderEntry entry;
            entry.relative = level.relative.isEmpty() ? name : level.relative + QLatin1Char('/') + name;
            entry.path = folder + QLatin1Char('/') + entry.relative;
            entry.kind = kindOf(item.info.st_mode);
            entry.mode = item.info.st_mode;
            entry.size = qint64(item.info.st_size);
            entry.depth = level.depth;
            entry.parentFd = level.fd;
            entry.name = item.name.constData();
            visit(entry);
            if (entry.kind != EntryKind::Folder || !options.subfolders)
                continue;
            if (level.depth + 1 > options.maxDepth)
                throw PlatformError(QStringLiteral("The folder “%1” is nested more than %2 folders deep").arg(folder).arg(options.maxDepth));
            const int childFd = ::openat(level.fd, entry.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0)
                failToRead(entry.path, errno);
            Level child = openLevel(childFd, entry.path, entry.relative, level.depth + 1, folder, options, entries);
            child.self = entry;
            stack.push_back(std::move(child)); // `level` and `item` are not used past this point
        }
    } catch (...) {
        for (Level& level : stack)
            ::closedir(level.dir);
        throw;
    }
}

} // namespace velkor
