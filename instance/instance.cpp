#include "app/updaterapp.h"

#include "instance/instanceedge.h"
#include "trust/trustedpath.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

namespace {

// Seconds --shutdown waits for the running updater to let go of the lock.
const int shutdownSeconds = 30;

QString lockRefusal(const QString &path, const QString &reason)
{
    return QStringLiteral("ERROR: Refusing to keep the lock in %1: %2.").arg(path, reason);
}

// Where the lock and the control channel live, held for the run, or why
// there is no such place.
struct Place {
    QString dir;
    std::vector<FileEdge::Directory> held;
    QString error;
};

Place held(QString dir, TrustedPath &&walk, FileEdge::Directory &&own = FileEdge::Directory())
{
    Place place {std::move(dir), std::move(walk.held), QString()};
    place.held.push_back(std::move(walk.dir));
    if (own.isOpen())
        place.held.push_back(std::move(own));
    return place;
}

// A directory of the running account's own in `parent`: made if missing,
// refused if someone else made it.
Place privateDirectory(const QString &parent, const QString &name, Scope parentScope)
{
    const QString dir = QDir(parent).absoluteFilePath(name);
    TrustedPath walk = openTrusted(parent, parentScope);
    if (!walk.ok())
        return {QString(), {}, lockRefusal(parent, walk.refusal)};
    Claim claim = claimDirectory(walk.dir, name, FileEdge::Access::Private);
    if (!claim.refusal.isEmpty())
        return {QString(), {}, lockRefusal(dir, claim.refusal)};
    return held(dir, std::move(walk), std::move(claim.dir));
}

// The temporary directory when no other account can change it, or any
// directory on its path. Where others can (/tmp, C:\Windows\Temp): root's
// runtime directory, the account's own runtime directory, or else a private
// directory in the temporary one, refused when someone else made it first.
Place instancePlace()
{
    const QString temp = QDir(InstanceEdge::temporaryDirectory()).absolutePath();
    TrustedPath walk = openTrusted(temp, Scope::Write);
    if (walk.ok())
        return held(temp, std::move(walk));
    const InstanceEdge::Runtime runtime = InstanceEdge::runtimeDirectory();
    if (runtime.made)
        return privateDirectory(runtime.parent, runtime.name, Scope::Write);
    if (QDir::isAbsolutePath(runtime.parent)) {
        TrustedPath own = openTrusted(runtime.parent, Scope::Write);
        if (own.ok())
            return held(runtime.parent, std::move(own));
    }
    return privateDirectory(
        temp, QStringLiteral("corvane-updater-") + FileEdge::selfName(), Scope::Replace);
}

} // namespace

void UpdaterApp::acquireInstance()
{
    Place place = instancePlace();
    // Without a place for the lock there is no lock to take: stay out of the way.
    if (place.dir.isEmpty()) {
        instanceError_ = place.error;
        return;
    }
    instanceHeld_ = std::move(place.held);
    const QString id = QLatin1String(appId_);
    lockFile_.reset(new QLockFile(QDir(place.dir).absoluteFilePath(id + QStringLiteral("-lock"))));
    serverName_ = InstanceEdge::serverName(place.dir, id);
    isPrimary_ = lockFile_->tryLock(0);
    if (!isPrimary_)
        return;
    QLocalServer::removeServer(serverName_);
    localServer_ = new QLocalServer(this);
    // The running account alone may open the socket or the pipe.
    localServer_->setSocketOptions(QLocalServer::UserAccessOption);
    const InstanceEdge::PipeClaim claim(serverName_);
    if (!claim.held() || !localServer_->listen(serverName_)) {
        channelError_ = QStringLiteral("ERROR: Cannot listen on the control channel %1: %2; "
                                       "--shutdown cannot reach this run.")
                            .arg(serverName_,
                                claim.held() ? localServer_->errorString()
                                             : QStringLiteral("another program holds its name"));
        return;
    }
    connect(localServer_, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
}

void UpdaterApp::releaseInstance()
{
    if (localServer_)
        localServer_->close();
    if (lockFile_)
        lockFile_->unlock();
    lockFile_.reset();
}

void UpdaterApp::onNewConnection()
{
    qInfo("Received LOCAL SOCKET connection");
    QLocalSocket *socket = localServer_ ? localServer_->nextPendingConnection() : nullptr;
    if (!socket)
        return;
    connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
    connect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
    // A message that came with the connection may have been announced already.
    if (socket->bytesAvailable() > 0)
        readMessage(socket);
}

void UpdaterApp::onReadyRead()
{
    if (auto *socket = qobject_cast<QLocalSocket *>(sender()))
        readMessage(socket);
}

void UpdaterApp::readMessage(QLocalSocket *socket)
{
    QByteArray bytes = socket->readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString text = QString::fromUtf8(bytes);
    qInfo("Received LOCAL SOCKET message: %s", qUtf8Printable(text));
    if (text == QLatin1String("shutdown")) {
        stopping_ = true;
        settle(Outcome::Stopped, record_.lastLine);
        if (downloadLoop_.isRunning())
            downloadLoop_.quit();
        clearAvailable();
        QCoreApplication::quit();
    }
    // One message per connection: whatever comes later is never read.
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
}

bool UpdaterApp::sendMessage(const QString &text)
{
    const int waitMs = 2000;
    QLocalSocket socket;
    QString error;
    if (!InstanceEdge::connectTo(socket, serverName_, waitMs, &error)) {
        qInfo("ERROR: No updater answered on %s: %s", qUtf8Printable(serverName_),
            qUtf8Printable(error));
        return false;
    }
    // Whoever else answers on the name must not learn, or decide, anything.
    if (!InstanceEdge::peerIsTrusted(socket.socketDescriptor())) {
        qInfo("ERROR: Not sending %s: another account answers on %s.", qUtf8Printable(text),
            qUtf8Printable(serverName_));
        return false;
    }
    socket.write(text.toLatin1());
    // Done once the running updater has let go of the lock, so that what
    // follows (an installation) never overlaps its work. The wait runs an
    // event loop, where a write to a Windows pipe completes: a sender blocked
    // outside one was seen under Wine to leave its message unread.
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer waited;
    bool stopped = false;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        stopped = lockFile_->tryLock(0);
        if (stopped || waited.hasExpired(shutdownSeconds * 1000))
            loop.quit();
    });
    waited.start();
    poll.start(50);
    loop.exec();
    if (!stopped) {
        qInfo("ERROR: The running updater did not stop within %d seconds.", shutdownSeconds);
        return false;
    }
    lockFile_->unlock();
    return true;
}
