#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "support/QtPrinters.h"

namespace velkor::testing {

// Writes an executable shell script (mode 755) with the given body after "#!/bin/sh".
QString writeScript(const QString& path, const QString& body);
void writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
QString readText(const QString& path);
// Path of a file under tests/data.
QString testData(const QString& relativePath);
// The helper tools of the build, in the bundle's Resources/Tools.
QString builtTool(const QString& name);
// Every file below a folder, never through a link.
QStringList filesBelow(const QString& folder);
// Lists an archive's entries with unzip -Z1 (one name per line).
QStringList zipEntries(const QString& archive);

// A tmpfs of a few kilobytes on a fresh folder, filled to the last byte: every write that needs
// one more block fails with ENOSPC. Mounting needs root; mounted() says whether it worked.
class FullDisk {
public:
    explicit FullDisk(int kilobytes = 64);
    ~FullDisk();
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    bool mounted() const { return m_mounted; }
    QString path(const QString& relative) const { return m_folder.filePath(relative); }
    // Names in the disk's top folder other than the filler, sorted.
    QStringList entries() const;
    // Fills what is left, after any files a test placed there.
    void fill();

private:
    QTemporaryDir m_folder;
    bool m_mounted = false;
};

} // namespace velkor::testing
