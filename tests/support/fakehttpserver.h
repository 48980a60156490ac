#ifndef FAKEHTTPSERVER_H
#define FAKEHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

namespace TestSupport {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// The answer scripted for one path. Byte limits (stall, close) count the body
// as it goes on the wire, chunk framing included. Unless the script sets a
// Connection header, "Connection: close" is sent and the connection is closed
// once the whole body is out.
struct FakeResponse {
    QByteArray statusLine = "HTTP/1.1 200 OK";
    HeaderList headers;
    QByteArray body;
    qint64 contentLength = -2; // -2: the body's size; -1: no Content-Length header
    QList<int> chunkSizes; // non-empty: chunked transfer in pieces of these sizes
    qint64 stallAt = -1; // stop after this many body bytes until release()
    qint64 closeAt = -1; // close the connection after this many body bytes
    int tricklePiece = 0; // > 0: one piece of this size per timer tick
    int trickleIntervalMs = 0;
    int bodyDelayMs = 0; // the body starts at least this long after the headers

    static FakeResponse ok(const QByteArray &body);
    static FakeResponse status(int code, const QByteArray &reason, const QByteArray &body);
    static FakeResponse redirect(int code, const QByteArray &location, const QByteArray &body);

    FakeResponse &header(const QByteArray &name, const QByteArray &value);
    // Announces this length whatever the body holds.
    FakeResponse &announce(qint64 length);
    // Chunked, no Content-Length; bytes left over after the sizes go in one last chunk.
    FakeResponse &chunked(const QList<int> &sizes);
    FakeResponse &stallAfter(qint64 bodyBytes);
    FakeResponse &closeAfter(qint64 bodyBytes);
    FakeResponse &trickle(int pieceSize, int intervalMs);
    FakeResponse &delayBody(int ms);

    QByteArray head() const; // status line and headers, blank line included
    QByteArray wireBody() const;
};

struct RecordedRequest {
    QByteArray method;
    QByteArray path;
    HeaderList headers;
    // The first header of that name, compared without regard to case.
    QByteArray header(const QByteArray &name) const;
};

class FakeConnection;

// An HTTP/1.1 server on 127.0.0.1 that answers each request from its script
// and records what it was asked. One request per connection. Unscripted
// paths get 404. Everything runs on the caller's event loop.
class FakeHttpServer : public QTcpServer {
    Q_OBJECT

public:
    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    bool start(); // listens on 127.0.0.1, port chosen by the system
    QUrl url(const QString &path) const; // path starts with "/"
    virtual QString scheme() const;

    void setResponse(const QByteArray &path, const FakeResponse &response);
    QList<RecordedRequest> requests() const { return requests_; }
    int openConnections() const;
    int stalledConnections() const;

public slots:
    // Lets every open connection go on past its stall point.
    void release();
    // Drops every open connection at once.
    void closeAll();

signals:
    void requestReceived(const QByteArray &path);
    // The response to path stopped after that many body bytes, all flushed.
    void stalled(const QByteArray &path, qint64 bodyBytesSent);
    void responseSent(const QByteArray &path);

protected:
    void incomingConnection(qintptr descriptor) override;
    // The socket for an accepted connection; the HTTPS server encrypts it.
    virtual QTcpSocket *createSocket(qintptr descriptor);

private:
    friend class FakeConnection;
    FakeResponse responseFor(const RecordedRequest &request);

    QHash<QByteArray, FakeResponse> script_;
    QList<RecordedRequest> requests_;
    QList<QPointer<FakeConnection>> connections_;
};

// The same server behind TLS with a self-signed certificate for localhost.
class FakeHttpsServer : public FakeHttpServer {
public:
    using FakeHttpServer::FakeHttpServer;

    // Has openssl make a key and certificate in dir; false when that fails.
    bool createCertificate(const QString &dir);
    QString scheme() const override;
    QSslCertificate certificate() const { return certificate_; }

protected:
    QTcpSocket *createSocket(qintptr descriptor) override;

private:
    QSslCertificate certificate_;
    QSslKey key_;
};

// A port on 127.0.0.1 that is bound but never listens, so connecting to it is
// refused for as long as this object lives.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;

    quint16 port() const { return port_; }
    QUrl url(const QString &path) const;

private:
    int fd_;
    quint16 port_;
};

} // namespace TestSupport

Q_DECLARE_METATYPE(TestSupport::FakeResponse)

#endif // FAKEHTTPSERVER_H
