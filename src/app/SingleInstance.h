#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace velkor {

// The folder for the user's single-instance lock: the session's runtime folder (private to the
// user), else a private folder in the user's cache.
QString singleInstanceFolder();

// One copy of Velkor per user, so two copies never collect into the same work folder. The first
// copy holds an exclusive lock on a file in the folder and listens beside it; a later copy asks
// it to show its window and leaves. The kernel lets go of the lock when its holder ends, however
// it ends, so a copy that crashed never keeps the next one from starting.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Claim {
        First,           // this copy holds the lock
        OtherShown,      // another copy runs and was asked to show its window
        OtherUnreachable // another copy holds the lock but did not take the request
    };

    explicit SingleInstance(QString folder, QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Claim claim();

signals:
    // A later copy asked this one to show its window.
    void showRequested();

private:
    QString m_folder;
    int m_lockFd = -1;
    QLocalServer m_server;
};

} // namespace velkor
