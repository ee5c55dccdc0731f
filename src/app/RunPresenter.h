#pragma once

#include <QObject>
#include <QString>

namespace velkor {

class CollectorModel;

// A path as people read it: the home folder at its start shown as "~".
QString pathForDisplay(const QString& path, const QString& home);

// What the window adds to the collector's own state: where the archive goes, written as the
// user reads paths, and a desktop notification when a run ends, for a user who is looking at
// another window meanwhile.
class RunPresenter : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString archivePath READ archivePath NOTIFY archivePathChanged)

public:
    RunPresenter(CollectorModel& collector, QString home, QObject* parent = nullptr);

    // The archive of the last run, else where the next run will leave it.
    QString archivePath() const;

signals:
    void archivePathChanged();

private:
    void announce(bool succeeded);

    CollectorModel& m_collector;
    QString m_home;
};

} // namespace velkor
