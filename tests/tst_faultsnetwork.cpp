// Network faults in the middle of a package transfer, with the real updater:
// whatever breaks, the run ends by itself with code 0, its log is whole, and
// available holds nothing but the bytes the manifest's digest describes.

#include "support/e2esite.h"
#include "support/fakehttpserver.h"
#include "support/faultrun.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using TestSupport::FakeHttpServer;
using TestSupport::FakeHttpsServer;
using TestSupport::FakeResponse;

namespace {

const QString packageName = QStringLiteral("pkg-9.0.0.bin");
const QByteArray packagePath = "/pc/pkg-9.0.0.bin";
const QString failedMessage = QStringLiteral("    Updates could not be downloaded properly. "
                                             "Deleting partially downloaded files to try again.");
// A broken transfer ends the run at once; the bound only allows for a loaded machine.
const qint64 boundMs = 20000;

enum Fault { Scripted, ResetInBody, ResetBeforeResponse, KillNginx };

QByteArray package()
{
    return Repository::packageBytes(600 * 1024, 11);
}

// Ends every open connection of the server with a reset: closing a socket
// whose linger time is zero sends RST instead of FIN.
void resetConnections(QObject *server)
{
    for (QTcpSocket *socket : server->findChildren<QTcpSocket *>()) {
        if (socket->state() != QAbstractSocket::ConnectedState)
            continue;
        const linger zero {1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &zero, sizeof(zero));
        socket->abort();
    }
}

// Whether the reset above really reaches a peer as ECONNRESET, seen from a plain socket.
bool resetReachesPeer()
{
    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return false;
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool reset = false;
    if (::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0
        && listener.waitForNewConnection(5000)) {
        QTcpSocket *accepted = listener.nextPendingConnection();
        resetConnections(&listener);
        char byte = 0;
        reset = accepted && ::recv(client, &byte, 1, 0) < 0 && errno == ECONNRESET;
    }
    ::close(client);
    return reset;
}

void killNginx(const QString &pidFile)
{
    const qint64 pid = Repository::contentOf(pidFile).trimmed().toLongLong();
    if (pid > 1)
        ::kill(pid_t(pid), SIGKILL);
}

} // namespace

class NetworkFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void packageTransferBreaks_data();
    void packageTransferBreaks();

private:
    void addRows(const QString &scheme);
    QUrl serveFake(E2ESite &site, const QString &scheme, int fault, const FakeResponse &response,
        const QByteArray &manifest, QTimer &trigger);
    QUrl serveNginx(E2ESite &site, const QByteArray &digestOf, QTimer &trigger);
    void checkOutcome(E2ESite &site, const QByteArray &digestOf, bool stored);

    QString base_;
    QTemporaryDir scratch_;
    std::unique_ptr<FakeHttpServer> fake_;
};

void NetworkFaults::initTestCase()
{
    REQUIRE_NGINX_TOOLS();
    base_ = QDir::tempPath();
    QVERIFY(scratch_.isValid());
    tolerateOpenSslExitRace(scratch_.path());
    QVERIFY2(resetReachesPeer(), "a socket closed with zero linger did not reset its peer");
}

void NetworkFaults::addRows(const QString &scheme)
{
    const QByteArray body = package();
    const int half = body.size() / 2;
    const QByteArray prefix = scheme.toLatin1() + ": ";
    const FakeResponse chunked = FakeResponse::ok(body).chunked({65536, 65536});
    // The terminating chunk is the last five bytes on the wire.
    const qint64 beforeEnd = chunked.wireBody().size() - 5;
    QTest::newRow((prefix + "server closes half way").constData())
        << scheme << int(Scripted) << FakeResponse::ok(body).closeAfter(half) << body << false << 1;
    // The body comes late enough for its arrival to be logged: the reset
    // follows that line, so the client has really seen part of the body.
    QTest::newRow((prefix + "connection reset half way").constData())
        << scheme << int(ResetInBody) << FakeResponse::ok(body).delayBody(150).stallAfter(half)
        << body << false << 1;
    // Qt's HTTP layer sends a request again when its connection broke before
    // any answer: here once more over http, three times more over https.
    QTest::newRow((prefix + "connection reset before the response").constData())
        << scheme << int(ResetBeforeResponse) << FakeResponse::ok(body) << body << false << 4;
    QTest::newRow((prefix + "chunked body cut before its terminating chunk").constData())
        << scheme << int(Scripted) << FakeResponse(chunked).closeAfter(beforeEnd) << body << false
        << 1;
    QTest::newRow((prefix + "chunked body cut inside a chunk").constData())
        << scheme << int(Scripted) << FakeResponse(chunked).closeAfter(half) << body << false << 1;
}

void NetworkFaults::packageTransferBreaks_data()
{
    QTest::addColumn<QString>("server"); // http, https (scripted fake) or nginx
    QTest::addColumn<int>("fault");
    QTest::addColumn<FakeResponse>("response");
    QTest::addColumn<QByteArray>("digestOf"); // the manifest carries this content's digest
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("packageRequests"); // at most
    addRows(QStringLiteral("http"));
    addRows(QStringLiteral("https"));
    // More bytes than announced: the client takes what was announced and no
    // more, so only a manifest describing exactly those bytes lets them in.
    const QByteArray body = package();
    const QByteArray longer = body + Repository::packageBytes(1000, 12);
    const FakeResponse overlong = FakeResponse::ok(longer).announce(body.size());
    QTest::newRow("http: more bytes than announced, digest of the announced bytes")
        << QStringLiteral("http") << int(Scripted) << overlong << body << true << 1;
    QTest::newRow("http: more bytes than announced, digest of all bytes sent")
        << QStringLiteral("http") << int(Scripted) << overlong << longer << false << 1;
    QTest::newRow("nginx killed half way")
        << QStringLiteral("nginx") << int(KillNginx) << FakeResponse() << body << false << 1;
}

void NetworkFaults::packageTransferBreaks()
{
    QFETCH(QString, server);
    QFETCH(int, fault);
    QFETCH(FakeResponse, response);
    QFETCH(QByteArray, digestOf);
    QFETCH(bool, stored);
    QFETCH(int, packageRequests);
    E2ESite site(base_);
    QVERIFY(site.isValid());
    const QByteArray manifest
        = Repository::manifest(packageName, QString::fromLatin1(TestSupport::md5Hex(digestOf)));
    QTimer trigger;
    const QUrl root = server == QLatin1String("nginx")
        ? serveNginx(site, digestOf, trigger)
        : serveFake(site, server, fault, response, manifest, trigger);
    QVERIFY(root.isValid());

    const TestSupport::RunResult run
        = Faults::runUpdater(site.args(root.toString()), site.tmp(), Faults::ChildSetup());
    const QString defect = Faults::runDefect(run, boundMs);
    qInfo("the run took %lld ms", run.elapsedMs);
    QVERIFY2(
        defect.isEmpty(), qPrintable(defect + QLatin1Char('\n') + Faults::logText(site.logPath())));
    if (fault == KillNginx || fault == ResetInBody)
        QVERIFY2(!trigger.isActive(), "the fault was never injected");
    checkOutcome(site, digestOf, stored);
    if (fake_) {
        // The manifest once, the package once unless the network layer re-sent
        // a request whose connection broke before any answer.
        const QList<TestSupport::RecordedRequest> requests = fake_->requests();
        QVERIFY(requests.size() >= 2);
        QCOMPARE(requests.first().path, QByteArray("/pc/updates.json"));
        for (int i = 1; i < requests.size(); ++i)
            QCOMPARE(requests.at(i).path, packagePath);
        qInfo("the package was requested %d times", int(requests.size() - 1));
        QVERIFY2(requests.size() - 1 <= packageRequests,
            qPrintable(QStringLiteral("%1 package requests").arg(requests.size() - 1)));
    }
    fake_.reset();
}

QUrl NetworkFaults::serveFake(E2ESite &site, const QString &scheme, int fault,
    const FakeResponse &response, const QByteArray &manifest, QTimer &trigger)
{
    if (scheme == QLatin1String("https")) {
        auto *https = new FakeHttpsServer;
        fake_.reset(https);
        const QString dir = site.path() + QStringLiteral("/cert");
        if (!QDir().mkpath(dir) || !https->createCertificate(dir))
            return QUrl();
    } else {
        fake_.reset(new FakeHttpServer);
    }
    if (!fake_->start())
        return QUrl();
    fake_->setResponse("/pc/updates.json", FakeResponse::ok(manifest));
    fake_->setResponse(packagePath, response);
    FakeHttpServer *server = fake_.get();
    if (fault == ResetBeforeResponse) {
        connect(server, &FakeHttpServer::requestReceived, server, [server](const QByteArray &path) {
            if (path == packagePath)
                resetConnections(server);
        });
    } else if (fault == ResetInBody) {
        connect(&trigger, &QTimer::timeout, &trigger, [&site, &trigger, server]() {
            if (server->stalledConnections() > 0 && site.transferring(packageName)) {
                resetConnections(server);
                trigger.stop();
            }
        });
        trigger.start(5);
    }
    return fake_->url(QString());
}

QUrl NetworkFaults::serveNginx(E2ESite &site, const QByteArray &digestOf, QTimer &trigger)
{
    // About ten seconds at this rate: the kill always lands in the middle.
    site.server().addRateLimit(QStringLiteral("/slow/"), QStringLiteral("64k"));
    if (!Repository::publish(site.www() + QStringLiteral("/slow/pc"), packageName, package(),
            QString::fromLatin1(TestSupport::md5Hex(digestOf)))
        || !site.serve(QStringLiteral("http")))
        return QUrl();
    const QString pidFile = site.path() + QStringLiteral("/nginx/nginx.pid");
    connect(&trigger, &QTimer::timeout, &trigger, [&site, &trigger, pidFile]() {
        if (site.transferring(packageName)) {
            killNginx(pidFile);
            trigger.stop();
        }
    });
    trigger.start(5);
    return QUrl(site.server().httpRoot() + QStringLiteral("/slow"));
}

void NetworkFaults::checkOutcome(E2ESite &site, const QByteArray &digestOf, bool stored)
{
    const QString log = Faults::logText(site.logPath());
    const QString logDefect = Faults::logDefect(site.logPath());
    QVERIFY2(logDefect.isEmpty(), qPrintable(logDefect + QLatin1Char('\n') + log));
    // The archived copy is the whole log too.
    QCOMPARE(Repository::contentOf(site.local() + QStringLiteral("/backup/logs/last-updater.log")),
        Repository::contentOf(site.logPath()));
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    const QStringList messages = site.logMessages();
    // Qt's own warnings would mean the engine misused a reply.
    QVERIFY2(
        messages.filter(QRegularExpression(QStringLiteral("^\\[(warn|critical)\\] "))).isEmpty(),
        qPrintable(log));
    int packageAt = -1;
    for (int i = 0; i < messages.size() && packageAt < 0; ++i) {
        if (messages.at(i).startsWith(QLatin1String("Downloading "))
            && messages.at(i).contains(QLatin1Char('/') + packageName + QStringLiteral(" to ")))
            packageAt = i;
    }
    QVERIFY2(packageAt > 0, qPrintable(log));
    if (stored) {
        QCOMPARE(Repository::entries(site.available()), QStringList {packageName});
        QVERIFY(
            Repository::contentOf(site.available() + QLatin1Char('/') + packageName) == digestOf);
        QCOMPARE(messages.constLast(),
            QStringLiteral("    Finished downloading %1 bytes.").arg(digestOf.size()));
        return;
    }
    QCOMPARE(Repository::entries(site.available()), QStringList());
    QVERIFY2(messages.constLast() == failedMessage, qPrintable(log));
    const QString cause = messages.value(messages.size() - 2);
    QVERIFY2(messages.size() - 2 > packageAt, qPrintable(log));
    QVERIFY2(cause.startsWith(QLatin1String("    ERROR: ("))
            || cause.startsWith(QLatin1String("    FAILURE: MD5 hash")),
        qPrintable(log));
    QCOMPARE(site.indexOfPrefix(QStringLiteral("    SUCCESS: ")), -1);
}

QTEST_GUILESS_MAIN(NetworkFaults)
#include "tst_faultsnetwork.moc"
