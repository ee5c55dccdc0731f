#include "platform/linux/LibzipArchiveWriter.h"

#include "base/CollectorError.h"
#include "files/FolderWalk.h"
#include "process/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zip.h>

namespace velkor {
namespace {

QString zipErrorText(zip_t* archive)
{
    return QString::fromUtf8(zip_strerror(archive));
}

[[noreturn]] void fail(const QString& archivePath, const QString& reason)
{
    throw PlatformError(QStringLiteral("Could not create the archive “%1”: %2").arg(archivePath, reason));
}

zip_uint32_t unixAttributes(mode_t mode)
{
    return zip_uint32_t(mode) << 16;
}

// Adds one entry; the entry name uses "/" and folder entries end in "/".
class ArchiveBuilder {
public:
    ArchiveBuilder(zip_t* archive, QString archivePath) : m_archive(archive), m_archivePath(std::move(archivePath)) {}

    void addFolder(const QString& entryName, mode_t mode)
    {
        const QByteArray name = entryName.toUtf8();
        const zip_int64_t index = zip_dir_add(m_archive, name.constData(), ZIP_FL_ENC_UTF_8);
        if (index < 0)
            fail(m_archivePath, zipErrorText(m_archive));
        setAttributes(index, mode);
    }

    void addFile(const QString& entryName, const QString& sourcePath, mode_t mode)
    {
        const QByteArray source = QFile::encodeName(sourcePath);
        zip_source_t* data = zip_source_file(m_archive, source.constData(), 0, -1);
        if (!data)
            fail(m_archivePath, zipErrorText(m_archive));
        addSource(entryName, data, mode);
    }

    void addSymbolicLink(const QString& entryName, const QByteArray& target, mode_t mode)
    {
        // The link's own text is the entry's content, as Info-ZIP and ditto store links.
        m_linkTargets.push_back(target);
        const QByteArray& stored = m_linkTargets.back();
        zip_source_t* data = zip_source_buffer(m_archive, stored.constData(), zip_uint64_t(stored.size()), 0);
        if (!data)
            fail(m_archivePath, zipErrorText(m_archive));
        addSource(entryName, data, mode);
    }

private:
    void addSource(const QString& entryName, zip_source_t* data, mode_t mode)
    {
        const QByteArray name = entryName.toUtf8();
        const zip_int64_t index = zip_file_add(m_archive, name.constData(), data, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(data);
            fail(m_archivePath, zipErrorText(m_archive));
        }
        setAttributes(index, mode);
    }

    void setAttributes(zip_int64_t index, mode_t mode)
    {
        if (zip_file_set_external_attributes(m_archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX, unixAttributes(mode)) < 0)
            fail(m_archivePath, zipErrorText(m_archive));
    }

    zip_t* m_archive;
    QString m_archivePath;
    std::vector<QByteArray> m_linkTargets; // buffers must outlive zip_close
};

QByteArray readLinkTarget(int folderFd, const char* name)
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlinkat(folderFd, name, buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (size_t(length) < buffer.size())
            return QByteArray(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// The folder's entries in name order, each folder before its contents; links stored as links.
// A name that is not UTF-8 fails the archive, as no entry could carry it.
void addTree(ArchiveBuilder& builder, const QString& folderPath, const QString& topName, const QString& archivePath)
{
    struct Entry {
        QString name;
        EntryKind kind;
        mode_t mode;
        QString path;
        QByteArray linkTarget;
    };
    std::vector<Entry> entries;
    struct stat folderInfo {};
    try {
        if (::lstat(QFile::encodeName(folderPath).constData(), &folderInfo) != 0)
            throw PlatformError(QStringLiteral("cannot read “%1”: %2").arg(folderPath, systemReason(errno)));
        walkFolder(folderPath, WalkOptions(), [&entries, &topName](const FolderEntry& entry) {
            const QByteArray target = entry.kind == EntryKind::Link ? readLinkTarget(entry.parentFd, entry.name) : QByteArray();
            entries.push_back({topName + QLatin1Char('/') + entry.relative, entry.kind, entry.mode, entry.path, target});
        });
    } catch (const PlatformError& error) {
        fail(archivePath, error.description());
    }
    builder.addFolder(topName + QLatin1Char('/'), folderInfo.st_mode);
    for (const Entry& entry : entries) {
        if (entry.kind == EntryKind::Link)
            builder.addSymbolicLink(entry.name, entry.linkTarget, entry.mode);
        else if (entry.kind == EntryKind::Folder)
            builder.addFolder(entry.name + QLatin1Char('/'), entry.mode);
        else if (entry.kind == EntryKind::File)
            builder.addFile(entry.name, entry.path, entry.mode);
        // Sockets, pipes and devices have no place in the package.
    }
}

// libzip checks its writes and the close of its temporary file; the data is then forced to the
// disk, with the rename, before the archive is reported as made.
void syncToDisk(const QString& archivePath)
{
    for (const QByteArray& path : {QFile::encodeName(archivePath), QFile::encodeName(QFileInfo(archivePath).absolutePath())}) {
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const int error = fd < 0 ? errno : (::fsync(fd) == 0 ? 0 : errno);
        if (fd >= 0)
            ::close(fd);
        if (error != 0)
            fail(archivePath, systemReason(error));
    }
}

} // namespace

void LibzipArchiveWriter::zipFolderKeepingParent(const QString& folderPath, const QString& archivePath)
{
    const QFileInfo folder(folderPath);
    if (!folder.isDir() || folder.isSymLink())
        fail(archivePath, QStringLiteral("“%1” is not a folder").arg(folderPath));

    int errorCode = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &errorCode);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, errorCode);
        const QString reason = QString::fromUtf8(zip_error_strerror(&error));
        zip_error_fini(&error);
        fail(archivePath, reason);
    }

    // A run abandoned while packing (the window closed, a termination signal) stops libzip
    // between chunks; libzip then removes its half-written temporary file.
    zip_register_cancel_callback_with_state(archive, [](zip_t*, void*) { return processRunAbandoned() ? 1 : 0; }, nullptr, nullptr);
    try {
        ArchiveBuilder builder(archive, archivePath);
        addTree(builder, QDir::cleanPath(folder.absoluteFilePath()), folder.fileName(), archivePath);
        // libzip writes into a temporary file beside the archive and renames it on success.
        if (zip_close(archive) != 0)
            fail(archivePath, zipErrorText(archive));
    } catch (...) {
        zip_discard(archive);
        QFile::remove(archivePath);
        throw;
    }
    try {
        syncToDisk(archivePath);
    } catch (...) {
        QFile::remove(archivePath);
        throw;
    }
}

} // namespace velkor
