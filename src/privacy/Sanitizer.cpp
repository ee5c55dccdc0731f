#include "privacy/Sanitizer.h"

#include "base/CollectorError.h"
#include "platform/PropertyListService.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "files/FolderWalk.h"
#include "files/TextDecoding.h"

#include <QFile>

#include <sys/stat.h>
#include <vector>

namespace velkor {

void sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path)
{
    sanitizeTextLikeFile(propertyLists, path, [](QString text) { return tryMaskText(std::move(text)); });
}

void sanitizeTextLikeFile(PropertyListService& propertyLists, const QString& path, const TextMasker& mask)
{
    const QString extension = lowerExtension(path);
    if (extension == QLatin1String("plist") || extension == QLatin1String("spx") || extension == QLatin1String("xml"))
        propertyLists.convertToXmlInPlace(path); // not a property list, or not convertible: masked as it is
    std::optional<QString> text;
    {
        // Not a regular file (a link, a pipe), unreadable or not UTF-8: left alone.
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
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return; // missing, or a link in the folder's place
    WalkOptions visible;
    visible.includeHidden = false;
    std::vector<QString> files;
    walkFolder(folder, visible, [&files](const FolderEntry& entry) {
        if (entry.kind == EntryKind::File && isTextLikeFile(entry.relative))
            files.push_back(entry.path);
    });
    // A failed write ends the walk: the file would reach the package unmasked.
    for (const QString& file : files)
        sanitizeTextLikeFile(propertyLists, file, mask);
}

} // namespace velkor
