// SIGKILL at the end of a package download: with all but the last bytes
// written, and the moment the log reports the verification (the hand-over is
// only microseconds away). Whatever moment the kill hits, available holds
// either nothing or the whole verified package, and the next run clears what
// was left and ends with the verified package. The kill in the middle of a
// transfer is tst_killdownload's.

#include "support/e2esite.h"
#include "support/fakehttpserver.h"
#include "support/faultrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <csignal>

using TestSupport::FakeHttpServer;
using TestSupport::FakeResponse;

namespace {

const QString packageName = QStringLiteral("pkg-9.0.0.bin");
const QByteArray packagePath = "/pc/pkg-9.0.0.bin";
const QString verifying = QStringLiteral("    Verifying downloaded file ...");
const QString pending = QStringLiteral("Previously installed updates are yet to be installed.");
const qint64 boundMs = 30000;
// What QFile may hold back before writing it out.
const qint64 fileBuffer = 16 * 1024;

enum KillAt { LastBytesStalled, LogLine };

// Where a killed run left the package.
enum Outcome { BeforeHandOver, AfterHandOver, FinishedFirst, OutcomeCount };

const char *outcomeNames[]
    = {"killed before the hand-over", "killed after the hand-over", "finished before the kill"};

} // namespace

class KillFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedRunThenNextRun_data();
    void killedRunThenNextRun();

private:
    bool killAtLastBytes(E2ESite &site, QProcess &updater, qint64 size);
    bool killAtLogLine(E2ESite &site, QProcess &updater, const QString &line);
    void checkKilledRun(
        E2ESite &site, QProcess &updater, const QByteArray &package, Outcome *outcome);
    void checkNextRun(
        E2ESite &site, const QStringList &args, const QByteArray &package, bool packageWaiting);

    QString base_;
    FakeHttpServer *fake_ = nullptr;
};

void KillFaults::initTestCase()
{
    REQUIRE_NGINX_TOOLS();
    base_ = QDir::tempPath();
}

void KillFaults::killedRunThenNextRun_data()
{
    QTest::addColumn<int>("killAt");
    QTest::addColumn<QString>("line"); // the log line that triggers the kill
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("size");
    QTest::newRow("server stalls before the last byte")
        << int(LastBytesStalled) << QString() << 1 << 400000;
    // Microseconds from the hand-over, so several attempts; each must hold
    // whatever moment it hit.
    const int big = 8 * 1024 * 1024;
    QTest::newRow("at the verification line") << int(LogLine) << verifying << 5 << big;
    QTest::newRow("at the digest's success line")
        << int(LogLine) << QStringLiteral("    SUCCESS: MD5 hash") << 5 << big;
    QTest::newRow("at the finished line")
        << int(LogLine) << QStringLiteral("    Finished downloading %1 bytes.").arg(big) << 3
        << big;
}

void KillFaults::killedRunThenNextRun()
{
    QFETCH(int, killAt);
    QFETCH(QString, line);
    QFETCH(int, attempts);
    QFETCH(int, size);
    E2ESite site(base_);
    QVERIFY(site.isValid());
    const QByteArray package = Repository::packageBytes(size, 41);
    FakeHttpServer server;
    fake_ = &server;
    QString remote;
    if (killAt == LastBytesStalled) {
        QVERIFY(server.start());
        server.setResponse("/pc/updates.json",
            FakeResponse::ok(Repository::manifest(
                packageName, QString::fromLatin1(TestSupport::md5Hex(package)))));
        remote = server.url(QString()).toString();
    } else {
        QVERIFY(Repository::publish(site.repo() + QStringLiteral("/pc"), packageName, package));
        QVERIFY2(site.serve(QStringLiteral("http")), qPrintable(site.server().errorString()));
        remote = site.repoUrl(QStringLiteral("http"));
    }
    const QStringList args = site.args(remote);
    int outcomes[OutcomeCount] = {};
    for (int attempt = 0; attempt < attempts; ++attempt) {
        QVERIFY(QDir(site.available()).removeRecursively() && QDir().mkpath(site.available()));
        // The kill waits for a line of this run's log, not of the last one.
        QVERIFY(!QFile::exists(site.logPath()) || QFile::remove(site.logPath()));
        // Late enough for the arrival of the body to be logged as progress.
        server.setResponse(
            packagePath, FakeResponse::ok(package).delayBody(150).stallAfter(size - 1));
        BackgroundUpdater updater(args, site.tmp());
        const bool killed = killAt == LastBytesStalled
            ? killAtLastBytes(site, updater.process(), size)
            : killAtLogLine(site, updater.process(), line);
        QVERIFY2(killed, qPrintable(Faults::logText(site.logPath())));
        Outcome outcome = BeforeHandOver;
        checkKilledRun(site, updater.process(), package, &outcome);
        if (QTest::currentTestFailed())
            return;
        if (killAt == LastBytesStalled)
            QCOMPARE(outcome, BeforeHandOver);
        ++outcomes[outcome];
        server.setResponse(packagePath, FakeResponse::ok(package));
        checkNextRun(site, args, package, outcome != BeforeHandOver);
        if (QTest::currentTestFailed())
            return;
    }
    for (int i = 0; i < OutcomeCount; ++i)
        qInfo("%s: %d of %d", outcomeNames[i], outcomes[i], attempts);
}

bool KillFaults::killAtLastBytes(E2ESite &site, QProcess &updater, qint64 size)
{
    QSignalSpy stalled(fake_, &FakeHttpServer::stalled);
    // All but the last byte have reached the staging file, short of what
    // QFile may still buffer; the last progress line before completion is out.
    const bool ready = QTest::qWaitFor(
        [&]() {
            const QStringList staging = Repository::stagingFiles(site.updates());
            return !stalled.isEmpty() && staging.size() == 1
                && QFileInfo(site.updates() + QLatin1Char('/') + staging.first()).size()
                >= size - 1 - fileBuffer
                && site.transferring(packageName);
        },
        boundMs);
    updater.kill();
    return ready;
}

bool KillFaults::killAtLogLine(E2ESite &site, QProcess &updater, const QString &line)
{
    // A busy poll: no event loop turn may stand between the line and the kill.
    QElapsedTimer watchdog;
    watchdog.start();
    const QByteArray wanted = ">  " + line.toLatin1();
    while (watchdog.elapsed() < boundMs) {
        QFile log(site.logPath());
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains(wanted)) {
            ::kill(pid_t(updater.processId()), SIGKILL);
            return true;
        }
    }
    updater.kill();
    return false;
}

void KillFaults::checkKilledRun(
    E2ESite &site, QProcess &updater, const QByteArray &package, Outcome *outcome)
{
    QVERIFY2(updater.waitForFinished(boundMs), "the killed updater did not end");
    const QStringList available = Repository::entries(site.available());
    const QStringList staging = Repository::stagingFiles(site.updates());
    const bool finished = updater.exitStatus() == QProcess::NormalExit;
    if (finished)
        QCOMPARE(updater.exitCode(), 0);
    *outcome = finished ? FinishedFirst : available.isEmpty() ? BeforeHandOver : AfterHandOver;
    if (available.isEmpty()) {
        // The staging file is all that is left, never a package.
        QCOMPARE(staging.size(), 1);
        QVERIFY(!finished);
        return;
    }
    QCOMPARE(available, QStringList {packageName});
    QVERIFY(Repository::contentOf(site.available() + QLatin1Char('/') + packageName) == package);
    QCOMPARE(staging, QStringList());
}

void KillFaults::checkNextRun(
    E2ESite &site, const QStringList &args, const QByteArray &package, bool packageWaiting)
{
    const TestSupport::RunResult run
        = Faults::runUpdater(args, site.tmp(), Faults::ChildSetup(), boundMs * 2);
    const QString defect = Faults::runDefect(run, boundMs);
    QVERIFY2(defect.isEmpty(), qPrintable(defect));
    const QString logDefect = Faults::logDefect(site.logPath());
    QVERIFY2(logDefect.isEmpty(), qPrintable(logDefect));
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    QCOMPARE(Repository::entries(site.available()), QStringList {packageName});
    QVERIFY(Repository::contentOf(site.available() + QLatin1Char('/') + packageName) == package);
    const QStringList messages = site.logMessages();
    if (packageWaiting) {
        QCOMPARE(messages.constLast(), pending);
        return;
    }
    const QString digest = QString::fromLatin1(TestSupport::md5Hex(package));
    QCOMPARE(messages.mid(messages.size() - 3),
        (QStringList {verifying,
            QStringLiteral("    SUCCESS: MD5 hash of downloaded file is %1, as expected.")
                .arg(digest),
            QStringLiteral("    Finished downloading %1 bytes.").arg(package.size())}));
}

QTEST_GUILESS_MAIN(KillFaults)
#include "tst_faultskill.moc"
