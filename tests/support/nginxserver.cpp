#include "support/nginxserver.h"

#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif
#include <unistd.h>

namespace {

const int attempts = 3; // another process may take a port between pick and bind

QString nginxBinary()
{
    const QString standard = QStringLiteral("/usr/sbin/nginx");
    if (QFileInfo(standard).isExecutable())
        return standard;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"));
}

QString opensslBinary()
{
    return QStandardPaths::findExecutable(QStringLiteral("openssl"));
}

// A child that is killed when the test process dies, so that no server
// outlives a crashed or timed-out test and keeps its port.
class ChildProcess : public QProcess {
public:
    ChildProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([]() { dieWithParent(); });
#endif
    }

protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void setupChildProcess() override
    {
        dieWithParent();
    }
#endif

private:
    static void dieWithParent()
    {
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    }
};

// Two distinct ports that were free a moment ago.
bool pickPorts(quint16 &first, quint16 &second)
{
    QTcpServer a;
    QTcpServer b;
    if (!a.listen(QHostAddress::LocalHost, 0) || !b.listen(QHostAddress::LocalHost, 0))
        return false;
    first = a.serverPort();
    second = b.serverPort();
    return true;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(250);
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

NginxServer::NginxServer(const QString &documentRoot, const QString &runtimeDir)
    : documentRoot_(QFileInfo(documentRoot).absoluteFilePath())
    , runtimeDir_(QFileInfo(runtimeDir).absoluteFilePath())
{
}

NginxServer::~NginxServer()
{
    stop();
}

void NginxServer::addRateLimit(const QString &uriPrefix, const QString &rate)
{
    rateLimits_.append(RateLimit {uriPrefix, rate});
}

QString NginxServer::missingTools()
{
    QStringList missing;
    if (nginxBinary().isEmpty())
        missing << QStringLiteral("nginx");
    if (opensslBinary().isEmpty())
        missing << QStringLiteral("openssl");
    return missing.join(QStringLiteral(", "));
}

QString NginxServer::httpRoot() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(httpPort_);
}

QString NginxServer::httpsRoot() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(httpsPort_);
}

QString NginxServer::accessLogPath() const
{
    return runtimeDir_ + QStringLiteral("/access.log");
}

QList<AccessEntry> NginxServer::accessLog() const
{
    QList<AccessEntry> entries;
    for (const QString &line : TestSupport::readLines(accessLogPath())) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() != 8)
            continue;
        AccessEntry e;
        e.scheme = f[0];
        e.method = f[1];
        e.uri = f[2];
        e.status = f[3].toInt();
        e.bytesSent = f[4].toLongLong();
        e.completed = f[5] == QLatin1String("OK");
        e.userAgent = f[6];
        e.protocol = f[7];
        entries << e;
    }
    return entries;
}

bool NginxServer::makeCertificate()
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(opensslBinary(),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-nodes"),
            QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-days"),
            QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
            QStringLiteral("-keyout"), runtimeDir_ + QStringLiteral("/key.pem"),
            QStringLiteral("-out"), runtimeDir_ + QStringLiteral("/cert.pem")});
    if (!openssl.waitForFinished(20000)) {
        openssl.kill();
        openssl.waitForFinished(5000);
        error_ = QStringLiteral("openssl did not finish");
        return false;
    }
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error_ = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll());
        return false;
    }
    return true;
}

bool NginxServer::writeConfig()
{
    QString limits;
    for (const RateLimit &limit : qAsConst(rateLimits_))
        limits += QStringLiteral("        location ^~ %1 { limit_rate %2; }\n")
                      .arg(limit.prefix, limit.rate);
    const QString temps = QStringLiteral("client_body proxy fastcgi uwsgi scgi");
    QString tempPaths;
    for (const QString &t : temps.split(QLatin1Char(' ')))
        tempPaths += QStringLiteral("    %1_temp_path %2;\n")
                         .arg(t, quoted(runtimeDir_ + QStringLiteral("/temp-") + t));
    const QString dir = runtimeDir_;
    const QString config
        = QStringLiteral("%1worker_processes 1;\n"
                         "master_process off;\n"
                         "daemon off;\n"
                         "pid %2;\n"
                         "error_log %3 info;\n"
                         "events { worker_connections 128; }\n"
                         "http {\n"
                         "    log_format tests '$scheme\t$request_method\t"
                         "$request_uri\t$status\t$body_bytes_sent\t"
                         "$request_completion\t$http_user_agent\t$server_protocol';\n"
                         "    access_log %4 tests;\n"
                         "%5"
                         "    default_type application/octet-stream;\n"
                         "    types { application/json json; }\n"
                         "    server {\n"
                         "        listen 127.0.0.1:%6;\n"
                         "        listen 127.0.0.1:%7 ssl http2;\n"
                         "        ssl_certificate %8;\n"
                         "        ssl_certificate_key %9;\n"
                         "        root %10;\n"
                         "        location / { }\n"
                         "%11"
                         "    }\n"
                         "}\n")
              .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(),
                  quoted(dir + QStringLiteral("/nginx.pid")),
                  quoted(dir + QStringLiteral("/error.log")), quoted(accessLogPath()), tempPaths,
                  QString::number(httpPort_), QString::number(httpsPort_),
                  quoted(dir + QStringLiteral("/cert.pem")),
                  quoted(dir + QStringLiteral("/key.pem")))
              .arg(quoted(documentRoot_), limits);
    return TestSupport::writeFile(dir + QStringLiteral("/nginx.conf"), config.toUtf8());
}

bool NginxServer::waitUntilListening(int timeoutMs)
{
    // Ends early when nginx exits, for instance because a port was taken.
    const bool ended = QTest::qWaitFor(
        [&]() {
            return process_->state() == QProcess::NotRunning
                || (accepts(httpPort_) && accepts(httpsPort_));
        },
        timeoutMs);
    return ended && process_->state() == QProcess::Running;
}

bool NginxServer::start(int timeoutMs)
{
    const QString nginx = nginxBinary();
    if (nginx.isEmpty() || opensslBinary().isEmpty()) {
        error_ = QStringLiteral("missing: ") + missingTools();
        return false;
    }
    QDir().mkpath(runtimeDir_);
    if (!makeCertificate())
        return false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        stop();
        if (!pickPorts(httpPort_, httpsPort_) || !writeConfig()) {
            error_ = QStringLiteral("cannot prepare the configuration");
            return false;
        }
        process_.reset(new ChildProcess);
        process_->setProcessChannelMode(QProcess::MergedChannels);
        process_->start(nginx,
            {QStringLiteral("-p"), runtimeDir_ + QLatin1Char('/'), QStringLiteral("-c"),
                runtimeDir_ + QStringLiteral("/nginx.conf"), QStringLiteral("-e"),
                runtimeDir_ + QStringLiteral("/error.log")});
        if (process_->waitForStarted(timeoutMs) && waitUntilListening(timeoutMs))
            return true;
        error_ = QString::fromLocal8Bit(process_->readAll())
            + TestSupport::readLines(runtimeDir_ + QStringLiteral("/error.log"))
                  .join(QLatin1Char('\n'));
    }
    stop();
    return false;
}

void NginxServer::stop()
{
    if (!process_)
        return;
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }
    process_.reset();
}
