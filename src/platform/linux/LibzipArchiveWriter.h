#pragma once

#include "platform/ArchiveWriter.h"

namespace velkor {

// Writes the archive in process with libzip. Folders get their own entries, Unix modes are
// kept, symbolic links are stored as links and never followed.
class LibzipArchiveWriter : public ArchiveWriter {
public:
    void zipFolderKeepingParent(const QString& folderPath, const QString& archivePath) override;
};

} // namespace velkor
