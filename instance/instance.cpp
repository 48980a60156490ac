#include "app/updaterapp.h"

#include "trust/fileedge.h"
#include "instance/instanceedge.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

namespace {

// Seconds --shutdown waits for the running updater to let go of the lock.
const int shutdownSeconds = 30;

QString refusal(const QString &path, const QString &reason)
{
    return QStringLiteral("ERROR: Refusing to keep the lock in %1: %2.").arg(path, reason);
}

// Where the lock and the control channel live: the temporary directory when
// no other account can write it; in one that others can write (/tmp,
// C:\Windows\Temp) a private directory of the running account's, made if
// missing and refused if someone else made it. Empty, with `error`, when
// neither can be trusted.
QString instanceDirectory(QString *error)
{
    const QString temp = InstanceEdge::temporaryDirectory();
    const DirectoryFacts facts = FileEdge::factsOf(QFileInfo(temp).canonicalFilePath());
    if (!facts.isDirectory || FileEdge::verdictOn(facts, Scope::Write).trust == Trust::Own)
        return temp;
    const TrustVerdict shared = FileEdge::verdictOn(facts, Scope::Replace);
    if (shared.trust != Trust::Own) {
        *error = refusal(temp, shared.reason);
        return QString();
    }
    const QString dir
        = QDir(temp).absoluteFilePath(QStringLiteral("corvane-updater-") + FileEdge::selfName());
    const FileEdge::Claim claim = FileEdge::claimDirectory(dir, FileEdge::Access::Private);
    if (claim.isDirectory && claim.refusal.isEmpty())
        return dir;
    *error = refusal(
        dir, claim.isDirectory ? claim.refusal : QStringLiteral("it is no directory of its own"));
    return QString();
}

} // namespace

void UpdaterApp::acquireInstance()
{
    const QString dir = instanceDirectory(&instanceError_);
    // Without a place for the lock there is no lock to take: stay out of the way.
    if (dir.isEmpty())
        return;
    const QString id = QLatin1String(appId_);
    lockFile_.reset(new QLockFile(QDir(dir).absoluteFilePath(id + QStringLiteral("-lock"))));
    serverName_ = InstanceEdge::serverName(dir, id);
    isPrimary_ = lockFile_->tryLock(0);
    if (!isPrimary_)
        return;
    QLocalServer::removeServer(serverName_);
    localServer_ = new QLocalServer(this);
    // The running account alone may open the socket or the pipe.
    localServer_->setSocketOptions(QLocalServer::UserAccessOption);
    const InstanceEdge::PipeClaim claim(serverName_);
    if (!claim.held() || !localServer_->listen(serverName_)) {
        instanceError_ = QStringLiteral("ERROR: Cannot listen on the control channel %1: %2.")
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
    socket.connectToServer(serverName_, QIODevice::WriteOnly);
    if (!socket.waitForConnected(waitMs)) {
        qInfo("ERROR: No updater answered on %s: %s", qUtf8Printable(serverName_),
            qUtf8Printable(socket.errorString()));
        return false;
    }
    // Whoever else answers on the name must not learn, or decide, anything.
    if (!InstanceEdge::peerIsTrusted(socket.socketDescriptor())) {
        qInfo("ERROR: Not sending %s: another account answers on %s.", qUtf8Printable(text),
            qUtf8Printable(serverName_));
        return false;
    }
    socket.write(text.toLatin1());
    socket.waitForBytesWritten(waitMs);
    // Done once the running updater has let go of the lock, so that what
    // follows (an installation) never overlaps its work.
    if (!lockFile_->tryLock(shutdownSeconds * 1000)) {
        qInfo("ERROR: The running updater did not stop within %d seconds.", shutdownSeconds);
        return false;
    }
    lockFile_->unlock();
    return true;
}
