#pragma once

#include <QString>

namespace velkor {

// Packs a folder into a ZIP archive whose single top-level entry is that folder.
class ArchiveWriter {
public:
    virtual ~ArchiveWriter() = default;
    // Throws PlatformError on failure and leaves no partial archive behind.
    virtual void zipFolderKeepingParent(const QString& folderPath, const QString& archivePath) = 0;
};

} // namespace velkor
