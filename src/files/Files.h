#pragma once

#include <QByteArray>
#include <QString>
#include <limits>
#include <optional>
#include <sys/types.h>

// File operations shared by every step. They never read or write through a symbolic link that
// stands at the path, never block on a pipe or device placed where a file was expected, and
// check every byte they write: a failure throws PlatformError with the system's reason.
namespace velkor {

inline constexpr qsizetype kNoSizeLimit = std::numeric_limits<qsizetype>::max();

// Reads a regular file whole. Nothing when the path is a link, a folder, a pipe or a device,
// when the file cannot be read, or when it holds more than maxBytes; `failure`, when given,
// then receives the reason as a short phrase ("it is a pipe, not a regular file").
std::optional<QByteArray> readRegularFile(const QString& path, qsizetype maxBytes = kNoSizeLimit,
                                          QString* failure = nullptr);

// Writes the whole file into a temporary file beside it, forces it to the disk and renames it
// into place, replacing any earlier file or link of that name. The earlier file is whole until
// the rename: a full disk leaves it as it was and leaves no temporary file behind. A replaced
// file keeps its permissions; a new one gets 0666 less the umask.
void writeFileAtomically(const QString& path, const QByteArray& bytes);
void writeTextFile(const QString& path, const QString& text);

// The same in pieces, for content too large to hold whole: nothing appears at the path until
// commit(), which checks every byte, syncs and renames into place; a writer dropped without
// commit() leaves no trace. A link at the path is replaced, never written through.
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
    [[noreturn]] void fail(int error);

    QString m_path;
    QByteArray m_target;
    QByteArray m_temporary;
    int m_fd = -1;
};

// Appends text as UTF-8 to the end of a regular file, creating the file (atomically) when it is
// missing. A link, a folder or a pipe at the path is an error. When the append fails part-way
// the file is cut back to what it held before.
void appendText(const QString& text, const QString& path);

// Creates a file that must not exist yet (a link in its place counts as existing), writes it
// whole and gives it exactly these permissions. A failed write removes what was created.
void createFileExclusively(const QString& path, const QByteArray& bytes, mode_t permissions);

// Gives a regular file mode 755. A link, or anything but a regular file, is not changed and
// gives false, as does a file this user cannot read or change.
bool makeExecutable(const QString& path);

// Removes whatever stands at the path: a file, a link (never what it points to) or a whole
// folder tree (never descending through links). Nothing there is not an error.
void removePath(const QString& path);

// Creates the folder with its missing parents.
void createDirectories(const QString& path);

// Empties a folder by removing whatever stands there and creating the folder anew.
void recreateDirectory(const QString& path);

bool pathExists(const QString& path); // true for dangling links too

// A folder only this user can enter (mode 0700), created under `parent` with the prefix and six
// unpredictable characters as its name, and removed with everything in it when the object goes.
class PrivateTemporaryFolder {
public:
    PrivateTemporaryFolder(const QString& parent, const QString& prefix);
    ~PrivateTemporaryFolder();
    PrivateTemporaryFolder(const PrivateTemporaryFolder&) = delete;
    PrivateTemporaryFolder& operator=(const PrivateTemporaryFolder&) = delete;

    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// The extension of the last name in the path, lower-cased, without the dot; empty when the name
// has no dot after its first character (".profile" has none, "x.tar.GZ" has "gz").
QString lowerExtension(const QString& path);

// Whether a package file is text to mask: its extension is "plist", "spx", "xml", "txt" or "log".
bool isTextLikeFile(const QString& path);

} // namespace velkor
