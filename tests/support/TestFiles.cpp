#include "support/TestFiles.h"

#include "process/ProcessRunner.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QDirIterator>
#include <stdexcept>

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

} // namespace velkor::testing
