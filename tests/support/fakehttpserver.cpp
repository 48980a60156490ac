#include "support/fakehttpserver.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace TestSupport {

// One accepted connection: reads one request, then sends its scripted answer
// as far as the script lets it.
class FakeConnection : public QObject {
public:
    FakeConnection(FakeHttpServer *server, QTcpSocket *socket);

    bool isOpen() const { return socket_->state() != QAbstractSocket::UnconnectedState; }
    bool isStalled() const { return stallReported_; }
    void release();
    void drop() { socket_->abort(); }

private:
    void onReadyRead();
    void respond();
    void startBody();
    void pump();
    qint64 limit() const;
    void reportStallWhenFlushed();

    FakeHttpServer *server_;
    QTcpSocket *socket_;
    QByteArray input_;
    QByteArray path_;
    FakeResponse response_;
    QByteArray wire_;
    qint64 sent_ = 0;
    bool responding_ = false;
    bool bodyStarted_ = false;
    bool released_ = false;
    bool stallPending_ = false;
    bool stallReported_ = false;
    QTimer trickle_;
};

FakeConnection::FakeConnection(FakeHttpServer *server, QTcpSocket *socket)
    : QObject(server)
    , server_(server)
    , socket_(socket)
{
    socket_->setParent(this);
    connect(socket_, &QTcpSocket::readyRead, this, [this]() { onReadyRead(); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this]() { reportStallWhenFlushed(); });
    if (auto *ssl = qobject_cast<QSslSocket *>(socket_)) {
        connect(
            ssl, &QSslSocket::encryptedBytesWritten, this, [this]() { reportStallWhenFlushed(); });
    }
    connect(socket_, &QTcpSocket::disconnected, this, [this]() {
        trickle_.stop();
        deleteLater();
    });
    trickle_.setTimerType(Qt::PreciseTimer);
    connect(&trickle_, &QTimer::timeout, this, [this]() { pump(); });
}

void FakeConnection::onReadyRead()
{
    input_ += socket_->readAll();
    if (responding_)
        return;
    const int end = input_.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = input_.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    RecordedRequest request;
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.append(
                {lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed()});
    }
    responding_ = true;
    path_ = request.path;
    response_ = server_->responseFor(request);
    respond();
}

void FakeConnection::respond()
{
    wire_ = response_.wireBody();
    socket_->write(response_.head());
    if (response_.bodyDelayMs > 0) {
        // Precise: the delay is a lower bound that tests rely on.
        QTimer::singleShot(
            response_.bodyDelayMs, Qt::PreciseTimer, this, [this]() { startBody(); });
        return;
    }
    startBody();
}

void FakeConnection::startBody()
{
    if (!isOpen())
        return;
    bodyStarted_ = true;
    if (response_.tricklePiece > 0)
        trickle_.start(response_.trickleIntervalMs);
    pump();
}

qint64 FakeConnection::limit() const
{
    qint64 end = wire_.size();
    if (response_.stallAt >= 0 && !released_)
        end = qMin(end, response_.stallAt);
    if (response_.closeAt >= 0)
        end = qMin(end, response_.closeAt);
    return end;
}

void FakeConnection::pump()
{
    const qint64 end = limit();
    if (sent_ < end) {
        const qint64 piece = response_.tricklePiece > 0
            ? qMin<qint64>(response_.tricklePiece, end - sent_)
            : end - sent_;
        socket_->write(wire_.mid(static_cast<int>(sent_), static_cast<int>(piece)));
        sent_ += piece;
        if (sent_ < end)
            return; // the timer sends the next piece
    }
    trickle_.stop();
    const bool complete = sent_ == wire_.size();
    const bool closing = response_.closeAt >= 0 && sent_ >= response_.closeAt;
    if (complete || closing) {
        if (complete)
            emit server_->responseSent(path_);
        socket_->disconnectFromHost();
        return;
    }
    stallPending_ = true;
    reportStallWhenFlushed();
}

void FakeConnection::reportStallWhenFlushed()
{
    if (!stallPending_ || socket_->bytesToWrite() > 0)
        return;
    auto *ssl = qobject_cast<QSslSocket *>(socket_);
    if (ssl && ssl->encryptedBytesToWrite() > 0)
        return;
    stallPending_ = false;
    stallReported_ = true;
    emit server_->stalled(path_, sent_);
}

void FakeConnection::release()
{
    released_ = true;
    stallPending_ = false;
    stallReported_ = false;
    if (!bodyStarted_ || !isOpen())
        return;
    if (response_.tricklePiece > 0)
        trickle_.start(response_.trickleIntervalMs);
    pump();
}

FakeHttpServer::FakeHttpServer(QObject *parent)
    : QTcpServer(parent)
{
}

FakeHttpServer::~FakeHttpServer() = default;

bool FakeHttpServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString FakeHttpServer::scheme() const
{
    return QStringLiteral("http");
}

QUrl FakeHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme()).arg(serverPort()).arg(path));
}

void FakeHttpServer::setResponse(const QByteArray &path, const FakeResponse &response)
{
    script_.insert(path, response);
}

int FakeHttpServer::openConnections() const
{
    int count = 0;
    for (const QPointer<FakeConnection> &connection : connections_)
        count += connection && connection->isOpen() ? 1 : 0;
    return count;
}

int FakeHttpServer::stalledConnections() const
{
    int count = 0;
    for (const QPointer<FakeConnection> &connection : connections_)
        count += connection && connection->isOpen() && connection->isStalled() ? 1 : 0;
    return count;
}

void FakeHttpServer::release()
{
    for (const QPointer<FakeConnection> &connection : connections_) {
        if (connection)
            connection->release();
    }
}

void FakeHttpServer::closeAll()
{
    for (const QPointer<FakeConnection> &connection : connections_) {
        if (connection)
            connection->drop();
    }
}

void FakeHttpServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = createSocket(descriptor);
    if (!socket)
        return;
    connections_.removeAll(nullptr);
    connections_.append(new FakeConnection(this, socket));
}

QTcpSocket *FakeHttpServer::createSocket(qintptr descriptor)
{
    auto *socket = new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return nullptr;
    }
    return socket;
}

FakeResponse FakeHttpServer::responseFor(const RecordedRequest &request)
{
    requests_.append(request);
    emit requestReceived(request.path);
    return script_.value(request.path, FakeResponse::status(404, "Not Found", "not scripted"));
}

} // namespace TestSupport
