// What a running updater makes of the bytes written to its control channel,
// written by this test straight on the local socket while it downloads.

#include "support/e2esite.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTest>

#include <memory>

namespace {

const QString packageName = QStringLiteral("mirelle-2.2.0.pkg");
const QString messagePrefix = QStringLiteral("Received LOCAL SOCKET message: ");

} // namespace

class ControlChannel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void rawMessages_data();
    void rawMessages();

private:
    QString base_;
};

void ControlChannel::initTestCase()
{
    REQUIRE_NGINX_TOOLS();
    base_ = QDir::tempPath();
}

void ControlChannel::rawMessages_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("rest"); // written once the message has been logged
    QTest::addColumn<QByteArray>("logged");
    QTest::addColumn<bool>("obeyed");
    QTest::newRow("word and line feed")
        << QByteArray("shutdown\n") << QByteArray() << QByteArray("shutdown\n") << false;
    QTest::newRow("capitalised") << QByteArray("Shutdown") << QByteArray() << QByteArray("Shutdown")
                                 << false;
    QTest::newRow("word twice in one write") << QByteArray("shutdownshutdown") << QByteArray()
                                             << QByteArray("shutdownshutdown") << false;
    QTest::newRow("split across two reads")
        << QByteArray("shut") << QByteArray("down") << QByteArray("shut") << false;
    QTest::newRow("NUL and junk after the word")
        << QByteArray("shutdown\0junk", 13) << QByteArray() << QByteArray("shutdown") << true;
}

void ControlChannel::rawMessages()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, rest);
    QFETCH(QByteArray, logged);
    QFETCH(bool, obeyed);
    E2ESite site(base_);
    // The socket below is resolved in TMPDIR, like the updater's server.
    TestSupport::isolateTempDir(site.tmp());
    site.server().addRateLimit(QStringLiteral("/slow/"), QStringLiteral("128k"));
    // About three seconds at that rate: the message arrives long before the end.
    const QByteArray package = site.publishPackage(QStringLiteral("slow"), packageName, 512 * 1024);
    QVERIFY(!package.isEmpty());
    QVERIFY2(site.serve(QStringLiteral("http")), qPrintable(site.server().errorString()));
    BackgroundUpdater primary(
        site.args(site.server().httpRoot() + QStringLiteral("/slow")), site.tmp());
    QTRY_VERIFY_WITH_TIMEOUT(site.transferring(packageName) || primary.done(), 20000);
    QVERIFY(!primary.done());

    QLocalSocket socket;
    socket.connectToServer(QStringLiteral("OrbApplicationUpdater"), QIODevice::WriteOnly);
    QVERIFY2(socket.waitForConnected(5000), qPrintable(socket.errorString()));
    socket.write(message);
    socket.flush();
    QTRY_COMPARE_WITH_TIMEOUT(socket.bytesToWrite(), qint64(0), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(site.logHasLine(messagePrefix.toLatin1() + logged), 10000);
    if (!rest.isEmpty()) {
        socket.write(rest);
        socket.flush();
        QTRY_COMPARE_WITH_TIMEOUT(socket.bytesToWrite(), qint64(0), 5000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(primary.done(), 20000);
    socket.disconnectFromServer();

    QVERIFY(primary.exitedCleanly());
    // One message per connection: nothing written later was read.
    QCOMPARE(site.logMessages().filter(messagePrefix).size(), 1);
    const int success = site.indexOfPrefix(QStringLiteral("    SUCCESS: "));
    if (obeyed) {
        QCOMPARE(success, -1);
        QCOMPARE(Repository::entries(site.available()), QStringList());
    } else {
        QVERIFY(success > site.indexOfPrefix(messagePrefix));
        QCOMPARE(Repository::entries(site.available()), QStringList {packageName});
        QCOMPARE(Repository::contentOf(site.available() + QLatin1Char('/') + packageName), package);
    }
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
}

QTEST_GUILESS_MAIN(ControlChannel)
#include "tst_controlchannel.moc"
