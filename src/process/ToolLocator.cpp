#include "process/ToolLocator.h"

#include "files/Files.h"

#include <QFileInfo>

namespace velkor {
namespace {

QStringList withoutDuplicates(const QStringList& paths)
{
    QStringList unique;
    for (const QString& path : paths) {
        if (!unique.contains(path))
            unique.append(path);
    }
    return unique;
}

bool isExecutableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

QString ToolLocator::resourcesPath() const
{
    if (!m_bundle.resourcesPath.isEmpty())
        return m_bundle.resourcesPath;
    return m_bundle.bundlePath + QStringLiteral("/Contents/Resources");
}

QStringList ToolLocator::resourceCandidates(const QString& name) const
{
    const QString resources = resourcesPath();
    return withoutDuplicates({
        resources + QStringLiteral("/Tools/") + name,
        resources + QStringLiteral("/") + name,
        m_bundle.appFolder + QStringLiteral("/") + name,
        m_bundle.homePath + QStringLiteral("/Desktop/") + name,
    });
}

QStringList ToolLocator::executableCandidates(const QString& name) const
{
    QStringList candidates = resourceCandidates(name);
    candidates << QStringLiteral("/usr/local/bin/") + name << QStringLiteral("/opt/homebrew/bin/") + name
               << QStringLiteral("/usr/bin/") + name << QStringLiteral("/bin/") + name;
    return withoutDuplicates(candidates);
}

std::optional<QString> ToolLocator::findExecutable(const QString& name) const
{
    const QString resources = m_bundle.resourcesPath;
    for (const QString& candidate : executableCandidates(name)) {
        if (isExecutableFile(candidate))
            return candidate;
        if (resources.isEmpty())
            continue;
        const bool insideResources = candidate.startsWith(resources + QStringLiteral("/Tools/"))
            || candidate.startsWith(resources + QStringLiteral("/"));
        if (insideResources && QFileInfo::exists(candidate)) {
            // Copying or unpacking can drop the execute bit of our own tools; give it back. A link
            // is left alone: what it points to may lie outside the bundle.
            if (makeExecutable(candidate) && isExecutableFile(candidate))
                return candidate;
        }
    }
    return std::nullopt;
}

std::optional<QString> ToolLocator::findResource(const QString& name) const
{
    for (const QString& candidate : resourceCandidates(name)) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace velkor
