#include "files/Files.h"

#include "base/CollectorError.h"
#include "files/FolderWalk.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velkor {
namespace {

[[noreturn]] void failToWrite(const QString& path, int error)
{
    throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(path, systemReason(error)));
}

// Closes a descriptor on every path out; release() hands it over for a checked close.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

QString kindPhrase(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("a device");
}

QString notRegular(mode_t mode)
{
    return QStringLiteral("it is %1, not a regular file").arg(kindPhrase(mode));
}

// Why opening the path failed: O_NOFOLLOW refuses a link with ELOOP, a pipe without a reader
// refuses a writer with ENXIO, a folder refuses one with EISDIR; say what stands there instead.
QString openFailure(const QByteArray& path, int error)
{
    struct stat info {};
    if (::lstat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode))
        return notRegular(info.st_mode);
    return systemReason(error);
}

// Writes every byte; the errno of the failure, or 0.
int writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t count = ::write(fd, data, size_t(std::min<qsizetype>(left, qsizetype(1) << 30)));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return errno;
        if (count == 0)
            return EIO;
        data += count;
        left -= count;
    }
    return 0;
}

// The whole content, forced to the disk, then closed: write(), fsync() and close() each report
// the failures of a full or failing disk, and a buffered write hides them until later.
int writeSyncAndClose(Descriptor& file, const QByteArray& bytes)
{
    int error = writeAll(file.get(), bytes);
    if (error == 0 && ::fsync(file.get()) != 0)
        error = errno;
    if (error != 0)
        return error;
    return ::close(file.release()) == 0 ? 0 : errno;
}

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

// A new file beside the target under an unpredictable name, created exclusively with 0666 so
// that the umask applies as to any other file the program makes.
int createTemporaryBeside(const QByteArray& folder, QByteArray& name)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + "/.velkor-";
        for (int i = 0; i < 10; ++i)
            name += alphabet[QRandomGenerator::system()->bounded(int(sizeof alphabet - 1))];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

std::optional<QByteArray> readRegularFile(const QString& path, qsizetype maxBytes, QString* failure)
{
    const auto fail = [failure](const QString& reason) -> std::optional<QByteArray> {
        if (failure)
            *failure = reason;
        return std::nullopt;
    };
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a pipe with no writer returns at once instead of waiting for one.
    Descriptor file(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    if (file.get() < 0)
        return fail(openFailure(name, errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return fail(systemReason(errno));
    if (!S_ISREG(info.st_mode))
        return fail(notRegular(info.st_mode));
    const QString tooLarge = QStringLiteral("it holds more than %1 bytes").arg(maxBytes);
    if (info.st_size > maxBytes)
        return fail(tooLarge);
    // The size is a hint only: files under /proc and /sys report 0 or a page and hold more or less.
    QByteArray data;
    data.reserve(qsizetype(info.st_size) + 1);
    char buffer[1 << 16];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return fail(systemReason(errno));
        if (count == 0)
            return data;
        if (count > maxBytes - data.size())
            return fail(tooLarge);
        data.append(buffer, qsizetype(count));
    }
}

AtomicFileWriter::AtomicFileWriter(const QString& path) : m_path(path), m_target(QFile::encodeName(path))
{
    struct stat existing {};
    const bool replacing = ::lstat(m_target.constData(), &existing) == 0 && S_ISREG(existing.st_mode);
    m_fd = createTemporaryBeside(folderOf(m_target), m_temporary);
    if (m_fd < 0)
        failToWrite(path, errno);
    // A replaced file keeps its permissions.
    if (replacing && ::fchmod(m_fd, existing.st_mode & 07777) != 0)
        fail(errno);
}

AtomicFileWriter::~AtomicFileWriter()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_temporary.constData());
    }
}

void AtomicFileWriter::fail(int error)
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    ::unlink(m_temporary.constData());
    failToWrite(m_path, error);
}

void AtomicFileWriter::write(const QByteArray& bytes)
{
    if (m_fd < 0)
        failToWrite(m_path, EBADF);
    if (const int error = writeAll(m_fd, bytes))
        fail(error);
}

void AtomicFileWriter::writeText(QStringView text)
{
    constexpr qsizetype kSlice = 4 << 20;
    for (qsizetype from = 0; from < text.size();) {
        qsizetype length = std::min(kSlice, text.size() - from);
        // A surrogate pair stays whole within one slice.
        if (from + length < text.size() && text.at(from + length - 1).isHighSurrogate())
            ++length;
        write(text.mid(from, length).toUtf8());
        from += length;
    }
}

void AtomicFileWriter::commit()
{
    if (m_fd < 0)
        failToWrite(m_path, EBADF);
    // fsync() and close() report what a full or failing disk kept back from write().
    if (::fsync(m_fd) != 0)
        fail(errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(m_temporary.constData());
        failToWrite(m_path, error);
    }
    // rename() replaces a link at the path and never writes through it.
    if (::rename(m_temporary.constData(), m_target.constData()) != 0) {
        const int error = errno;
        ::unlink(m_temporary.constData());
        failToWrite(m_path, error);
    }
}

void writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    AtomicFileWriter file(path);
    file.write(bytes);
    file.commit();
}

void writeTextFile(const QString& path, const QString& text)
{
    writeFileAtomically(path, text.toUtf8());
}

void appendText(const QString& text, const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const auto fail = [&path](const QString& reason) {
        throw PlatformError(QStringLiteral("Could not append to “%1”: %2").arg(path, reason));
    };
    Descriptor file(::open(name.constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    if (file.get() < 0) {
        // A missing file is created whole, as any other write. Any other reason (no permission,
        // a folder or a link in its place) is an error: replacing the file would lose what it holds.
        if (errno != ENOENT)
            fail(openFailure(name, errno));
        writeTextFile(path, text);
        return;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        fail(systemReason(errno));
    if (!S_ISREG(info.st_mode))
        fail(notRegular(info.st_mode));
    const int error = writeSyncAndClose(file, text.toUtf8());
    if (error != 0) {
        if (file.get() >= 0 && ::ftruncate(file.get(), info.st_size) == 0)
            ::fsync(file.get());
        fail(systemReason(error));
    }
}

void createFileExclusively(const QString& path, const QByteArray& bytes, mode_t permissions)
{
    const QByteArray name = QFile::encodeName(path);
    Descriptor file(::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0)
        failToWrite(path, errno);
    int error = ::fchmod(file.get(), permissions) == 0 ? 0 : errno;
    if (error == 0)
        error = writeSyncAndClose(file, bytes);
    if (error != 0) {
        ::unlink(name.constData());
        failToWrite(path, error);
    }
}

bool makeExecutable(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    // Looked at first so that a device is never opened; the open then refuses a link swapped in.
    if (::lstat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const Descriptor file(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    return file.get() >= 0 && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && ::fchmod(file.get(), 0755) == 0;
}

bool pathExists(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

void removePath(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(path);
    const auto fail = [&path](int error) {
        throw PlatformError(QStringLiteral("Could not remove “%1”: %2").arg(path, systemReason(error)));
    };
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0) {
        if (errno != ENOENT)
            fail(errno);
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        WalkOptions everything;
        everything.maxDepth = 256;
        everything.maxEntries = kNoSizeLimit;
        everything.allowNonUtf8Names = true;
        everything.revisitFolders = true;
        walkFolder(path, everything, [&fail](const FolderEntry& entry) {
            if (entry.kind == EntryKind::Folder && !entry.afterContents)
                return; // emptied first, removed on the way back
            if (::unlinkat(entry.parentFd, entry.name, entry.kind == EntryKind::Folder ? AT_REMOVEDIR : 0) != 0)
                fail(errno);
        });
        if (::rmdir(encoded.constData()) != 0)
            fail(errno);
        return;
    }
    if (::unlink(encoded.constData()) != 0)
        fail(errno);
}

void createDirectories(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(QDir::cleanPath(path));
    const auto fail = [&path](int error) {
        throw PlatformError(QStringLiteral("Could not create the folder “%1”: %2").arg(path, systemReason(error)));
    };
    for (qsizetype slash = encoded.indexOf('/', 1); slash != -1; slash = encoded.indexOf('/', slash + 1)) {
        if (::mkdir(encoded.left(slash).constData(), 0777) != 0 && errno != EEXIST)
            fail(errno);
    }
    if (::mkdir(encoded.constData(), 0777) != 0 && errno != EEXIST)
        fail(errno);
    struct stat info {};
    if (::stat(encoded.constData(), &info) != 0)
        fail(errno);
    if (!S_ISDIR(info.st_mode))
        fail(ENOTDIR);
}

void recreateDirectory(const QString& path)
{
    removePath(path);
    createDirectories(path);
}

PrivateTemporaryFolder::PrivateTemporaryFolder(const QString& parent, const QString& prefix)
{
    QByteArray pattern = QFile::encodeName(parent + QLatin1Char('/') + prefix + QStringLiteral("XXXXXX"));
    if (!::mkdtemp(pattern.data())) // mode 0700
        throw PlatformError(
            QStringLiteral("Could not create a private folder in “%1”: %2").arg(parent, systemReason(errno)));
    m_path = QFile::decodeName(pattern);
}

PrivateTemporaryFolder::~PrivateTemporaryFolder()
{
    try {
        removePath(m_path);
    } catch (const std::exception&) {
        // Nothing more can be done; the folder stays private to this user.
    }
}

QString lowerExtension(const QString& path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot <= 0 ? QString() : name.mid(dot + 1).toLower();
}

bool isTextLikeFile(const QString& path)
{
    static const QStringList extensions{QStringLiteral("plist"), QStringLiteral("spx"), QStringLiteral("xml"),
                                        QStringLiteral("txt"), QStringLiteral("log")};
    return extensions.contains(lowerExtension(path));
}

} // namespace velkor
