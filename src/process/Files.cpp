#include "process/Files.h"

#include "collector/CollectorError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Removes a folder tree with unlinkat relative to open folder handles, so a link inside the
// tree is removed as a link and never followed. Iterative: deep trees do not grow the stack.
bool removeTree(const QByteArray& path, int& error)
{
    struct Level {
        int fd;
        DIR* dir;
        QByteArray name; // name of this folder inside its parent
    };
    const int topFd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (topFd < 0) {
        error = errno;
        return false;
    }
    DIR* top = ::fdopendir(topFd);
    if (!top) {
        error = errno;
        ::close(topFd);
        return false;
    }
    std::vector<Level> stack{{topFd, top, QByteArray()}};
    bool ok = true;
    while (!stack.empty()) {
        Level& current = stack.back();
        errno = 0;
        dirent* entry = ::readdir(current.dir);
        if (!entry) {
            const QByteArray name = current.name;
            ::closedir(current.dir);
            stack.pop_back();
            if (!stack.empty() && ::unlinkat(stack.back().fd, name.constData(), AT_REMOVEDIR) != 0) {
                error = errno;
                ok = false;
            }
            continue;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat info {};
        if (::fstatat(current.fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            ok = false;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            const int childFd = ::openat(current.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            DIR* child = childFd >= 0 ? ::fdopendir(childFd) : nullptr;
            if (!child) {
                error = errno;
                ok = false;
                if (childFd >= 0)
                    ::close(childFd);
                continue;
            }
            stack.push_back({childFd, child, QByteArray(name)});
        } else if (::unlinkat(current.fd, name, 0) != 0) {
            error = errno;
            ok = false;
        }
    }
    if (::rmdir(path.constData()) != 0 && ok) {
        error = errno;
        ok = false;
    }
    return ok;
}

} // namespace

AtomicFileWriter::AtomicFileWriter(const QString& path) : m_path(path)
{
    // QSaveFile writes through a link to its target; a link at the path is replaced instead.
    struct stat info {};
    const QByteArray encoded = QFile::encodeName(path);
    if (::lstat(encoded.constData(), &info) == 0 && S_ISLNK(info.st_mode))
        ::unlink(encoded.constData());
    m_file = std::make_unique<QSaveFile>(path);
    m_file->setDirectWriteFallback(false);
    // Unbuffered: a failed write (a full disk) shows in write() itself, not in a late flush.
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(path, m_file->errorString()));
}

AtomicFileWriter::~AtomicFileWriter()
{
    if (m_file && m_file->isOpen())
        m_file->cancelWriting();
}

void AtomicFileWriter::fail(const QString& reason)
{
    m_file->cancelWriting();
    throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(m_path, reason));
}

void AtomicFileWriter::write(const QByteArray& bytes)
{
    if (m_file->write(bytes) != bytes.size())
        fail(m_file->errorString());
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
    if (!m_file->commit())
        throw PlatformError(QStringLiteral("Could not write “%1”: %2").arg(m_path, m_file->errorString()));
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
    const QByteArray encoded = QFile::encodeName(path);
    const int fd = ::open(encoded.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // A missing file is created whole, as any other write. Any other reason (no permission,
        // a folder or a link in its place) is an error: replacing the file would lose what it holds.
        if (errno != ENOENT)
            throw PlatformError(QStringLiteral("Could not append to “%1”: %2").arg(path, systemReason(errno)));
        writeTextFile(path, text);
        return;
    }
    const QByteArray bytes = text.toUtf8();
    qsizetype written = 0;
    int error = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        written += count;
    }
    ::close(fd);
    if (error != 0)
        throw PlatformError(QStringLiteral("Could not append to “%1”: %2").arg(path, systemReason(error)));
}

std::optional<QByteArray> readRegularFile(const QString& path, qsizetype maxBytes)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxBytes) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray data;
    data.reserve(qsizetype(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 || data.size() + count > maxBytes) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0)
            break;
        data.append(buffer, qsizetype(count));
    }
    ::close(fd);
    return data;
}

bool pathExists(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

void removePath(const QString& path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0) {
        if (errno == ENOENT)
            return;
        throw PlatformError(QStringLiteral("Could not remove “%1”: %2").arg(path, systemReason(errno)));
    }
    if (!S_ISDIR(info.st_mode)) {
        if (::unlink(encoded.constData()) != 0)
            throw PlatformError(QStringLiteral("Could not remove “%1”: %2").arg(path, systemReason(errno)));
        return;
    }
    int error = 0;
    if (!removeTree(encoded, error))
        throw PlatformError(QStringLiteral("Could not remove “%1”: %2").arg(path, systemReason(error)));
}

void createDirectories(const QString& path)
{
    if (!QDir().mkpath(path) || !QFileInfo(path).isDir())
        throw PlatformError(QStringLiteral("Could not create the folder “%1”").arg(path));
}

void recreateDirectory(const QString& path)
{
    removePath(path);
    createDirectories(path);
}

} // namespace velkor
