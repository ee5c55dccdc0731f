#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velkor {
namespace {

constexpr int kRequestWaitMs = 2000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");

} // namespace

QString singleInstanceFolder()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/velkor");
    QDir().mkpath(QFileInfo(cache).path());
    QDir().mkdir(cache, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return cache;
}

SingleInstance::SingleInstance(QString folder, QObject* parent) : QObject(parent), m_folder(std::move(folder))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->canReadLine() && socket->readLine() == kShowRequest)
                    emit showRequested();
            });
        }
    });
}

SingleInstance::~SingleInstance()
{
    m_server.close();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

SingleInstance::Claim SingleInstance::claim()
{
    const QByteArray lockPath = QFile::encodeName(m_folder + QStringLiteral("/velkor.lock"));
    const QString socketPath = m_folder + QStringLiteral("/velkor.socket");
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // Without a lock file nothing can tell two copies apart; this one runs rather than none.
        std::fprintf(stderr, "Velkor could not create its lock file %s: %s\n", lockPath.constData(), std::strerror(errno));
        return Claim::First;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        m_lockFd = fd;
        // A socket file left by a copy that crashed is in the way; no other copy can own it now.
        QLocalServer::removeServer(socketPath);
        if (!m_server.listen(socketPath))
            std::fprintf(stderr, "Velkor could not listen for later copies: %s\n", qPrintable(m_server.errorString()));
        return Claim::First;
    }
    const int lockError = errno;
    ::close(fd);
    if (lockError != EWOULDBLOCK) {
        std::fprintf(stderr, "Velkor could not lock %s: %s\n", lockPath.constData(), std::strerror(lockError));
        return Claim::First;
    }

    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(kRequestWaitMs))
        return Claim::OtherUnreachable;
    socket.write(kShowRequest);
    const bool sent = socket.waitForBytesWritten(kRequestWaitMs);
    socket.disconnectFromServer();
    return sent ? Claim::OtherShown : Claim::OtherUnreachable;
}

} // namespace velkor
