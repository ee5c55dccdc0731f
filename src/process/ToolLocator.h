#pragma once

#include "base/AppBundle.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace velkor {

// Finds the helper tools that are not part of the operating system: first in the bundle's
// resources, then beside the application, on the Desktop and in the usual program folders.
class ToolLocator {
public:
    explicit ToolLocator(AppBundle bundle) : m_bundle(std::move(bundle)) {}

    // The first candidate that is an executable file. A tool inside the bundle's resources that
    // lost its execute bit gets mode 755 back; files elsewhere are never changed.
    std::optional<QString> findExecutable(const QString& name) const;
    // The first candidate that exists at all (a folder counts), executable or not.
    std::optional<QString> findResource(const QString& name) const;

    QStringList executableCandidates(const QString& name) const;
    QStringList resourceCandidates(const QString& name) const;

private:
    QString resourcesPath() const;
    AppBundle m_bundle;
};

} // namespace velkor
