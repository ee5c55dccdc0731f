#include "support/TestFiles.h"

#include "process/ProcessRunner.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QDirIterator>
#include <stdexcept>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace velkor::testing {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file " + path.toStdString());
}

QString writeScript(const QString& path, const QString& body)
{
    writeFile(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                    | QFileDevice::ExeOther);
    return path;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString readText(const QString& path)
{
    return QString::fromUtf8(readFile(path));
}

QString testData(const QString& relativePath)
{
    return QStringLiteral(VELKOR_TEST_DATA_DIR) + QLatin1Char('/') + relativePath;
}

QString builtTool(const QString& name)
{
    return QStringLiteral(VELKOR_BUILT_TOOLS_DIR) + QLatin1Char('/') + name;
}

QStringList filesBelow(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

QStringList zipEntries(const QString& archive)
{
    const QString listing = runProcess(QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-Z1"), archive}, std::nullopt, 30);
    return listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

FullDisk::FullDisk(int kilobytes)
{
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0777";
    m_mounted = ::mount("tmpfs", QFile::encodeName(m_folder.path()).constData(), "tmpfs", 0, options.constData()) == 0;
}

FullDisk::~FullDisk()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_folder.path()).constData(), MNT_DETACH);
}

QStringList FullDisk::entries() const
{
    QStringList names = QDir(m_folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral(".filler"));
    return names;
}

void FullDisk::fill()
{
    const int fd = ::open(QFile::encodeName(path(QStringLiteral(".filler"))).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const QByteArray block(4096, 'f');
    while (fd >= 0 && ::write(fd, block.constData(), size_t(block.size())) > 0) {
    }
    // The last page may still take a few bytes; take them too.
    while (fd >= 0 && ::write(fd, block.constData(), 1) > 0) {
    }
    if (fd >= 0)
        ::close(fd);
}

} // namespace velkor::testing
