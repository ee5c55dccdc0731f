#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace velkor {

// Reads sysfs attributes below a root folder ("/" on the running machine, a captured tree in
// tests). Every reader takes the absolute path it returns from path() and gives an empty or
// absent result for a file that is missing, unreadable, not a regular file or too large, so
// callers never need an error path of their own.
class SysfsReader {
public:
    explicit SysfsReader(const QString& root);

    // root + absolute, e.g. path("/sys/bus/pci") under root "/tmp/x" is "/tmp/x/sys/bus/pci".
    QString path(const QString& absolute) const { return m_prefix + absolute; }
    // The path as the machine sees it, without the root: "/sys/devices/..." (for display only).
    QString machinePath(const QString& path) const;

    // The bytes of a regular file, at most maxBytes (a larger file gives nothing). A symbolic link
    // as the last path component, a FIFO or a device is not read.
    std::optional<QByteArray> bytes(const QString& path, qsizetype maxBytes = 64 * 1024) const;
    // The file's text, trimmed of white space at both ends; fallback when it cannot be read or is
    // empty. Text that is not UTF-8 is read with replacement characters.
    QString text(const QString& path, const QString& fallback = {}) const;
    // A number written in hexadecimal ("0x1b36" or "1b36").
    std::optional<qint64> hexNumber(const QString& path) const;
    // A number written in decimal.
    std::optional<qint64> decimalNumber(const QString& path) const;

    // The folder or file a symbolic link points to, as an absolute path under the root (lexically
    // resolved, never outside the root); empty when path is not a link.
    QString linkTarget(const QString& path) const;
    bool isDirectory(const QString& path) const; // a real folder, not a link to one
    // The names of the real folders (or regular files) in a folder, sorted; links are left out.
    QStringList subdirectories(const QString& path) const;
    QStringList files(const QString& path) const;
    // The names of the symbolic links in a folder, sorted.
    QStringList links(const QString& path) const;

private:
    enum class Kind { Directory, File, Link };
    QStringList entries(const QString& path, Kind kind) const;

    QString m_prefix;
};

// Text safe for a one-line name: control characters become blanks, the result is trimmed.
QString singleLine(const QString& text);

} // namespace velkor
