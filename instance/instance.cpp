#include "app/updaterapp.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

void UpdaterApp::acquireInstance()
{
    const QStringList temps = QStandardPaths::standardLocations(QStandardPaths::TempLocation);
    // Without a temporary location there is no lock to take: stay out of the way.
    if (temps.isEmpty() || temps.first().isEmpty())
        return;
    const QString id = QLatin1String(appId_);
    lockFile_.reset(
        new QLockFile(QDir(temps.first()).absoluteFilePath(id + QStringLiteral("-lock"))));
    isPrimary_ = lockFile_->tryLock(0);
    if (!isPrimary_)
        return;
    QLocalServer::removeServer(id);
    localServer_ = new QLocalServer(this);
    localServer_->listen(id);
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
}

void UpdaterApp::onReadyRead()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket)
        return;
    QByteArray bytes = socket->readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString text = QString::fromUtf8(bytes);
    qInfo("Received LOCAL SOCKET message: %s", qUtf8Printable(text));
    if (text == QLatin1String("shutdown")) {
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
    QEventLoop loop;
    bool connected = false;
    QLocalSocket socket;
    QTimer timer;
    connect(&socket, &QLocalSocket::connected, &socket, [&, text]() {
        connected = true;
        timer.stop();
        timer.start(2000);
        socket.write(text.toLatin1());
        socket.flush();
    });
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(2000);
    socket.connectToServer(QLatin1String(appId_), QIODevice::WriteOnly);
    loop.exec();
    return connected;
}
