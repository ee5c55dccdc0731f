#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>
#include <limits>
#include <memory>
#include <optional>

// File operations shared by every step. Failures throw PlatformError with a readable reason.
namespace velkor {

// Writes the whole file atomically (a temporary file renamed into place), replacing any
// earlier file of that name.
void writeFileAtomically(const QString& path, const QByteArray& bytes);
void writeTextFile(const QString& path, const QString& text);

// The same in pieces, for content too large to hold whole: nothing appears at the path until
// commit(), and a writer dropped without commit() leaves no trace. A link at the path is
// replaced, never written through.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(const QString& path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    void write(const QByteArray& bytes);
    // Writes the text as UTF-8 in slices, without a whole UTF-8 copy of it.
    void writeText(QStringView text);
    void commit();

private:
    [[noreturn]] void fail(const QString& reason);

    QString m_path;
    std::unique_ptr<QSaveFile> m_file;
};

// Appends text as UTF-8 to the end of a file, creating the file when it is missing.
void appendText(const QString& text, const QString& path);

// Removes whatever stands at the path: a file, a link (never what it points to) or a whole
// folder tree (never descending through links). Nothing there is not an error.
void removePath(const QString& path);

// Creates the folder with its missing parents.
void createDirectories(const QString& path);

// Empties a folder by removing whatever stands there and creating the folder anew.
void recreateDirectory(const QString& path);

bool pathExists(const QString& path); // true for dangling links too

// Reads a regular file whole, never through a link at the path and never blocking on a pipe or
// device that stands where a file was. Nothing when it is not a readable regular file or is
// larger than maxBytes.
std::optional<QByteArray> readRegularFile(const QString& path,
                                          qsizetype maxBytes = std::numeric_limits<qsizetype>::max());

} // namespace velkor
