#include "support/fakehttpserver.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSslSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool FakeHttpsServer::createCertificate(const QString &dir)
{
    const QString keyPath = dir + QStringLiteral("/key.pem");
    const QString certPath = dir + QStringLiteral("/cert.pem");
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
            QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
            QStringLiteral("/CN=localhost"), QStringLiteral("-days"), QStringLiteral("2"),
            QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    // A short-lived tool of our own; nothing has to be served meanwhile.
    if (!openssl.waitForFinished(60000)) {
        openssl.kill();
        openssl.waitForFinished(5000);
        return false;
    }
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return false;
    certificate_ = QSslCertificate(readAll(certPath), QSsl::Pem);
    key_ = QSslKey(readAll(keyPath), QSsl::Rsa, QSsl::Pem);
    return !certificate_.isNull() && !key_.isNull();
}

QString FakeHttpsServer::scheme() const
{
    return QStringLiteral("https");
}

QTcpSocket *FakeHttpsServer::createSocket(qintptr descriptor)
{
    auto *socket = new QSslSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return nullptr;
    }
    socket->setLocalCertificate(certificate_);
    socket->setPrivateKey(key_);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->startServerEncryption();
    return socket;
}

RefusingPort::RefusingPort()
    : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    , port_(0)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // Bound, so no one else gets the port; never listening, so connects are refused.
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), length) == 0
        && ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    if (fd_ >= 0)
        ::close(fd_);
}

QUrl RefusingPort::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path));
}

} // namespace TestSupport
