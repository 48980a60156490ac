#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// One request as the private access log records it.
struct AccessEntry {
    QString scheme;
    QString method;
    QString uri; // as the client sent it
    int status = 0;
    qint64 bytesSent = 0;
    bool completed = false; // the whole response went out
    QString userAgent;
    QString protocol; // "HTTP/1.1", "HTTP/2.0"
};

// A private nginx serving one document root on 127.0.0.1, over http and
// over https (offering HTTP/2 as well) with a self-signed certificate made
// for the occasion. All its files (configuration, certificate, pid, logs,
// temporary paths) live in the runtime directory; it runs as a child of the
// test and dies with it.
class NginxServer {
public:
    NginxServer(const QString &documentRoot, const QString &runtimeDir);
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Requests below this URI prefix (for example "/slow/") are sent at
    // `rate` (nginx syntax, for example "64k" bytes per second). Call before start().
    void addRateLimit(const QString &uriPrefix, const QString &rate);

    // Starts nginx and waits until both ports accept connections.
    bool start(int timeoutMs = 15000);
    void stop();
    QString errorString() const { return error_; }

    quint16 httpPort() const { return httpPort_; }
    quint16 httpsPort() const { return httpsPort_; }
    // "http://127.0.0.1:<port>" and "https://127.0.0.1:<port>", no trailing slash.
    QString httpRoot() const;
    QString httpsRoot() const;

    QString accessLogPath() const;
    QList<AccessEntry> accessLog() const;

    // Empty when nginx and openssl can be found; otherwise what is missing.
    static QString missingTools();

private:
    struct RateLimit {
        QString prefix;
        QString rate;
    };

    bool makeCertificate();
    bool writeConfig();
    bool waitUntilListening(int timeoutMs);

    QString documentRoot_;
    QString runtimeDir_;
    QList<RateLimit> rateLimits_;
    quint16 httpPort_ = 0;
    quint16 httpsPort_ = 0;
    std::unique_ptr<QProcess> process_;
    QString error_;
};

// Fails the calling test function when nginx or openssl is not installed.
#define REQUIRE_NGINX_TOOLS()                                                                      \
    QVERIFY2(NginxServer::missingTools().isEmpty(),                                                \
        qPrintable(QStringLiteral("not installed: ") + NginxServer::missingTools()))

#endif // NGINXSERVER_H
