#include "privacy/Sanitizer.h"

#include "base/CollectorError.h"
#include "platform/PropertyListService.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "files/TextDecoding.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace velkor {
namespace {

// Far beyond any package; a tree past them was not made by the collection.
constexpr int kMaxDepth = 64;
constexpr qsizetype kMaxEntries = 200000;

QString lowerExtension(const QString& path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        return QString();
    return name.mid(dot + 1).toLower();
}

bool isRegularFile(const QByteArray& encodedPath)
{
    struct stat info {};
    return ::lstat(encodedPath.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

bool isTextLikeFile(const QString& path)
{
    static const QStringList extensions{QStringLiteral("plist"), QStringLiteral("spx"), QStringLiteral("xml"),
                                        QStringLiteral("txt"), QStringLiteral("log")};
    return extensions.contains(lowerExtension(path));
}

void sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path)
{
    sanitizeTextLikeFile(propertyLists, path, [](QString text) { return tryMaskText(std::move(text)); });
}

void sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path, const TextMasker& mask)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (!isRegularFile(encoded))
        return;
    const QString extension = lowerExtension(path);
    if (extension == QLatin1String("plist") || extension == QLatin1String("spx") || extension == QLatin1String("xml"))
        propertyLists.convertToXmlInPlace(path); // not a property list, or not convertible: masked as it is
    std::optional<QString> text;
    {
        const std::optional<QByteArray> bytes = readRegularFile(path);
        if (!bytes)
            return;
        text = decodeUtf8Strictly(*bytes, /*keepByteOrderMark=*/true);
    }
    if (!text)
        return;
    const std::optional<QString> masked = mask(std::move(*text));
    writeTextFile(path, masked ? *masked : kUnmaskableTextNote);
}

void sanitizeDirectory(PropertyListService& propertyLists, const QString& folder)
{
    sanitizeDirectory(propertyLists, folder, [](QString text) { return tryMaskText(std::move(text)); });
}

void sanitizeDirectory(PropertyListService& propertyLists, const QString& folder, const TextMasker& mask)
{
    struct Pending {
        QString path;
        int depth;
    };
    std::vector<Pending> pending{{folder, 0}};
    qsizetype entries = 0;
    while (!pending.empty()) {
        const Pending current = std::move(pending.back());
        pending.pop_back();
        // O_NOFOLLOW: a folder replaced by a link is not entered, the top one included.
        const int fd = ::open(QFile::encodeName(current.path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue; // missing or unreadable: passed over
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            continue;
        }
        std::vector<QString> files;
        std::vector<QString> folders;
        bool tooLarge = false;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue; // hidden, and the folder's own entries
            if (++entries > kMaxEntries) {
                tooLarge = true;
                break;
            }
            const QString name = QFile::decodeName(entry->d_name);
            if (QFile::encodeName(name) != QByteArray(entry->d_name))
                continue; // a name no path can spell is left alone
            const QString path = current.path + QLatin1Char('/') + name;
            struct stat info {};
            if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                files.push_back(path); // unknown kind: the file operation looks again
            } else if (S_ISDIR(info.st_mode)) {
                if (current.depth + 1 > kMaxDepth) {
                    tooLarge = true;
                    break;
                }
                folders.push_back(path);
            } else if (S_ISREG(info.st_mode)) {
                files.push_back(path);
            }
        }
        ::closedir(dir);
        if (tooLarge)
            throw CollectorError::operationFailed(
                QStringLiteral("The folder “%1” is too deep or holds too many files to be masked.").arg(folder));
        std::sort(files.begin(), files.end());
        for (const QString& file : files) {
            if (!isTextLikeFile(file))
                continue;
            try {
                sanitizeTextLikeFile(propertyLists, file, mask);
            } catch (const std::exception&) {
                // One file's failure does not stop the walk.
            }
        }
        std::sort(folders.begin(), folders.end(), std::greater<>());
        for (const QString& sub : folders)
            pending.push_back({sub, current.depth + 1});
    }
}

} // namespace velkor
