// How a network download waits, where its body lives meanwhile and how it
// ends when something else happens during the wait.

#include "app/updaterapp.h"
#include "support/downloadharness.h"
#include "support/testsupport.h"

#include <QDir>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QtTest>

#include <functional>
#include <memory>

using namespace TestSupport;

namespace {

QByteArray content(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 13 + i / 509);
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestDownloadFlow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void sendsUserAgent();
    void refusesSecondDownloadWhileWaiting();
    void stagesOutsideDestination();
    void shutdownEndsTheWait();

private:
    // Runs once when the server next stalls, from within the wait.
    void onNextStall(const std::function<void()> &action);

    DownloadHarness harness_;
    UpdaterApp *app_ = nullptr;
    LogCapture *log_ = nullptr;
    FakeHttpServer *http_ = nullptr;
    QString localPath_;
    QString destDir_;
};

void TestDownloadFlow::initTestCase()
{
    QVERIFY(harness_.setUp("tst_downloadflow"));
    app_ = harness_.app();
    log_ = harness_.log();
    http_ = harness_.http();
    localPath_ = harness_.localPath();
    destDir_ = harness_.path(QStringLiteral("dest"));
}

void TestDownloadFlow::cleanupTestCase()
{
    harness_.tearDown();
}

void TestDownloadFlow::init()
{
    QDir(destDir_).removeRecursively();
    QVERIFY(QDir().mkpath(destDir_));
    log_->clear();
}

void TestDownloadFlow::onNextStall(const std::function<void()> &action)
{
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(http_, &FakeHttpServer::stalled, this, [once, action]() {
        disconnect(*once);
        action();
    });
}

void TestDownloadFlow::sendsUserAgent()
{
    http_->setResponse("/agent/pkg.bin", FakeResponse::ok("x"));
    const int requestsBefore = http_->requests().size();
    QVERIFY(app_->download(http_->url(QStringLiteral("/agent/pkg.bin")),
        destDir_ + QStringLiteral("/pkg.bin"), QString()));
    QCOMPARE(http_->requests().size() - requestsBefore, 1);
    const RecordedRequest request = http_->requests().last();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/agent/pkg.bin"));
    QCOMPARE(request.header("User-Agent"), QByteArray("corvane-software_updater-2.1.1702011951"));
}

void TestDownloadFlow::refusesSecondDownloadWhileWaiting()
{
    const QByteArray body = content(50000);
    http_->setResponse("/first.bin", FakeResponse::ok(body).stallAfter(20000));
    http_->setResponse("/second.bin", FakeResponse::ok("second"));
    const int requestsBefore = http_->requests().size();
    const QUrl second = http_->url(QStringLiteral("/second.bin"));
    const QString secondDest = destDir_ + QStringLiteral("/second.bin");
    bool secondResult = true;
    bool tried = false;
    QStringList linesAfterRefusal;
    onNextStall([&]() {
        tried = true;
        secondResult = app_->download(second, secondDest, QString());
        linesAfterRefusal = log_->lines();
        QTimer::singleShot(0, http_, &FakeHttpServer::release);
    });
    QTimer watchdog;
    harness_.armWatchdog(watchdog);

    const QString firstDest = destDir_ + QStringLiteral("/first.bin");
    QVERIFY(app_->download(
        http_->url(QStringLiteral("/first.bin")), firstDest, QString::fromLatin1(md5Hex(body))));
    QVERIFY(!harness_.cutOff());
    QVERIFY(tried);
    QVERIFY(!secondResult);
    // The refused call logs its one line and nothing more.
    const QString refused
        = QStringLiteral("Downloading %1 to %2").arg(second.toString(), secondDest);
    QCOMPARE(linesAfterRefusal.last(), refused);
    QCOMPARE(log_->lines().count(refused), 1);
    QCOMPARE(log_->lines().last(), QStringLiteral("    Finished downloading 50000 bytes."));
    QCOMPARE(log_->lines().count(QStringLiteral("    Finished downloading 6 bytes.")), 0);
    QCOMPARE(http_->requests().size() - requestsBefore, 1);
    QCOMPARE(http_->requests().last().path, QByteArray("/first.bin"));
    QCOMPARE(readFile(firstDest), body);
    QVERIFY(!QFile::exists(secondDest));
}

void TestDownloadFlow::stagesOutsideDestination()
{
    const QString available = localPath_ + QStringLiteral("/available");
    const QString dest = available + QStringLiteral("/pkg.bin");
    QCOMPARE(entries(available), QStringList());
    const QByteArray body = content(300000);
    http_->setResponse("/staged.bin", FakeResponse::ok(body).stallAfter(150000));
    QStringList availableDuringStall {QStringLiteral("not looked at")};
    QStringList stagingDuringStall;
    onNextStall([&]() {
        availableDuringStall = entries(available);
        stagingDuringStall = harness_.stagingFiles();
        QTimer::singleShot(0, http_, &FakeHttpServer::release);
    });
    QTimer watchdog;
    harness_.armWatchdog(watchdog);

    QVERIFY(app_->download(
        http_->url(QStringLiteral("/staged.bin")), dest, QString::fromLatin1(md5Hex(body))));
    QVERIFY(!harness_.cutOff());
    // Half a package in available would pass for a package waiting to be installed.
    QCOMPARE(availableDuringStall, QStringList());
    QCOMPARE(stagingDuringStall.size(), 1);
    const QRegularExpression staging(QStringLiteral("^\\.updater-[A-Za-z0-9]{6}\\.part$"));
    QVERIFY2(staging.match(stagingDuringStall.first()).hasMatch(),
        qPrintable(stagingDuringStall.first()));
    QCOMPARE(entries(available), QStringList {QStringLiteral("pkg.bin")});
    QCOMPARE(readFile(dest), body);
    QTRY_COMPARE(harness_.stagingFiles(), QStringList());
}

void TestDownloadFlow::shutdownEndsTheWait()
{
    const QByteArray body = content(200000);
    http_->setResponse("/shutdown.bin", FakeResponse::ok(body).stallAfter(100000));
    // Outside available, which the shutdown empties: a store would show here.
    const QString dest = destDir_ + QStringLiteral("/pkg.bin");
    QLocalSocket sender;
    connect(&sender, &QLocalSocket::connected, this, [&sender]() {
        sender.write("shutdown");
        sender.flush();
    });
    onNextStall([&]() {
        sender.connectToServer(QStringLiteral("OrbApplicationUpdater"), QIODevice::WriteOnly);
    });
    QTimer watchdog;
    harness_.armWatchdog(watchdog);
    connect(&watchdog, &QTimer::timeout, app_, &QCoreApplication::quit);

    // Inside the application's own loop, as in a real run: the shutdown quits it.
    bool result = true;
    bool returned = false;
    QTimer::singleShot(0, this, [&]() {
        result = app_->download(
            http_->url(QStringLiteral("/shutdown.bin")), dest, QString::fromLatin1(md5Hex(body)));
        returned = true;
        QCoreApplication::quit();
    });
    app_->exec();
    QVERIFY(!harness_.cutOff());
    QVERIFY(returned);
    QVERIFY(!result);
    QVERIFY(log_->lines().contains(QStringLiteral("Received LOCAL SOCKET message: shutdown")));
    QVERIFY(!QFile::exists(dest));
    // The transfer was given up: its connection closes, its staging file goes.
    QTRY_COMPARE(http_->openConnections(), 0);
    QTRY_COMPARE(harness_.stagingFiles(), QStringList());
    QVERIFY(!QFile::exists(dest));
    QVERIFY(!log_->lines().contains(QStringLiteral("    Verifying downloaded file ...")));
    QVERIFY(!log_->lines().contains(QStringLiteral("    Finished downloading 200000 bytes.")));
}

QTEST_APPLESS_MAIN(TestDownloadFlow)
#include "tst_downloadflow.moc"
