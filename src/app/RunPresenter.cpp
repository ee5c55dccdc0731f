#include "app/RunPresenter.h"

#include "collector/CollectorModel.h"
#include "platform/DesktopServices.h"

namespace velkor {

QString pathForDisplay(const QString& path, const QString& home)
{
    if (home.isEmpty() || home == QStringLiteral("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

RunPresenter::RunPresenter(CollectorModel& collector, QString home, QObject* parent)
    : QObject(parent), m_collector(collector), m_home(std::move(home))
{
    // The Desktop is looked up again for every run, as the run itself does.
    connect(&collector, &CollectorModel::lastZipURLChanged, this, &RunPresenter::archivePathChanged);
    connect(&collector, &CollectorModel::isRunningChanged, this, &RunPresenter::archivePathChanged);
    connect(&collector, &CollectorModel::collectionFinished, this, &RunPresenter::announce);
}

QString RunPresenter::archivePath() const
{
    const QString path = !m_collector.lastZipURL().isEmpty()
        ? m_collector.lastZipURL()
        : m_collector.desktopURL() + QLatin1Char('/') + m_collector.zipName();
    return pathForDisplay(path, m_home);
}

void RunPresenter::announce(bool succeeded)
{
    DesktopServices& desktop = *m_collector.platform().desktop;
    if (succeeded)
        desktop.notify(m_collector.zipName() + QStringLiteral(" is ready"), archivePath());
    else
        desktop.notify(QStringLiteral("The collection did not finish"), QStringLiteral("Velkor's log tells what went wrong."));
}

} // namespace velkor
