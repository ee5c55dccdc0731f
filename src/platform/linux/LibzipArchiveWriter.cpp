#include "platform/linux/LibzipArchiveWriter.h"

#include "base/CollectorError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
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

QByteArray readLinkTarget(const QByteArray& path)
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink(path.constData(), buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (size_t(length) < buffer.size())
            return QByteArray(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// Walks the folder without following links, breadth by breadth, without recursion.
void addTree(ArchiveBuilder& builder, const QString& folderPath, const QString& topName, const QString& archivePath)
{
    struct Pending {
        QString path;
        QString entryName;
    };
    std::vector<Pending> folders{{folderPath, topName + QLatin1Char('/')}};
    while (!folders.empty()) {
        const Pending current = folders.back();
        folders.pop_back();
        struct stat folderInfo {};
        if (::lstat(QFile::encodeName(current.path).constData(), &folderInfo) != 0)
            fail(archivePath, QStringLiteral("cannot read “%1”: %2").arg(current.path, QString::fromLocal8Bit(std::strerror(errno))));
        builder.addFolder(current.entryName, folderInfo.st_mode);

        QDir dir(current.path);
        const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                                QDir::Name);
        for (const QString& name : names) {
            const QString path = current.path + QLatin1Char('/') + name;
            const QByteArray encoded = QFile::encodeName(path);
            struct stat info {};
            if (::lstat(encoded.constData(), &info) != 0)
                fail(archivePath, QStringLiteral("cannot read “%1”: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
            const QString entryName = current.entryName + name;
            if (S_ISLNK(info.st_mode))
                builder.addSymbolicLink(entryName, readLinkTarget(encoded), info.st_mode);
            else if (S_ISDIR(info.st_mode))
                folders.push_back({path, entryName + QLatin1Char('/')});
            else if (S_ISREG(info.st_mode))
                builder.addFile(entryName, path, info.st_mode);
            // Sockets, pipes and devices have no place in the package.
        }
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
}

} // namespace velkor
