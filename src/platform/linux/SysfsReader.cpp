#include "platform/linux/SysfsReader.h"

#include "files/Files.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

// A folder listing stops here; sysfs folders hold a few hundred entries at most.
constexpr int kMaxFolderEntries = 20000;

std::optional<qint64> parseNumber(QString text, int base)
{
    if (base == 16 && text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, base);
    if (!ok)
        return std::nullopt;
    return value;
}

} // namespace

SysfsReader::SysfsReader(const QString& root)
{
    const QString clean = QDir::cleanPath(root.isEmpty() ? QStringLiteral("/") : root);
    m_prefix = clean == QLatin1String("/") ? QString() : clean;
}

QString SysfsReader::machinePath(const QString& path) const
{
    return path.startsWith(m_prefix) ? path.mid(m_prefix.size()) : path;
}

std::optional<QByteArray> SysfsReader::bytes(const QString& path, qsizetype maxBytes) const
{
    // Never a link, a FIFO or a device placed where an attribute should be.
    return readRegularFile(path, maxBytes);
}

QString SysfsReader::text(const QString& path, const QString& fallback) const
{
    const auto data = bytes(path);
    if (!data)
        return fallback;
    const QString text = QString::fromUtf8(*data).trimmed();
    return text.isEmpty() ? fallback : text;
}

std::optional<qint64> SysfsReader::hexNumber(const QString& path) const
{
    return parseNumber(text(path), 16);
}

std::optional<qint64> SysfsReader::decimalNumber(const QString& path) const
{
    return parseNumber(text(path), 10);
}

QString SysfsReader::linkTarget(const QString& path) const
{
    const QByteArray name = QFile::encodeName(path);
    char buffer[4096];
    const ssize_t length = ::readlink(name.constData(), buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    const QString target = QFile::decodeName(QByteArray(buffer, length));
    // sysfs links are relative; an absolute one names a path of the machine, so of the root.
    const QString resolved = target.startsWith(QLatin1Char('/'))
        ? QDir::cleanPath(m_prefix + target)
        : QDir::cleanPath(path.left(path.lastIndexOf(QLatin1Char('/'))) + QLatin1Char('/') + target);
    if (!m_prefix.isEmpty() && resolved != m_prefix && !resolved.startsWith(m_prefix + QLatin1Char('/')))
        return {};
    return resolved;
}

bool SysfsReader::isDirectory(const QString& path) const
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

QStringList SysfsReader::entries(const QString& path, Kind kind) const
{
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(path).constData());
    if (!dir)
        return names;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..")
            continue;
        struct stat info {};
        if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const bool wanted = (kind == Kind::Directory && S_ISDIR(info.st_mode)) || (kind == Kind::File && S_ISREG(info.st_mode))
            || (kind == Kind::Link && S_ISLNK(info.st_mode));
        if (wanted)
            names.append(QFile::decodeName(raw));
        if (names.size() >= kMaxFolderEntries)
            break;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

QStringList SysfsReader::subdirectories(const QString& path) const
{
    return entries(path, Kind::Directory);
}

QStringList SysfsReader::files(const QString& path) const
{
    return entries(path, Kind::File);
}

QStringList SysfsReader::links(const QString& path) const
{
    return entries(path, Kind::Link);
}

QString singleLine(const QString& text)
{
    QString line = text;
    for (QChar& c : line) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return line.trimmed();
}

} // namespace velkor
