// One updater at a time: the control channel during a download, and a run
// killed in the middle of one.

#include "support.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QLockFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class Instance : public NginxTest {
    Q_OBJECT

    // Starts an updater on a rate-limited copy of a repository (/slow/: 3 s for the
    // package; /stall/: minutes, so that a run to be stopped never ends first, however
    // loaded the machine) and returns once the package is arriving; its log is
    // <local>/updates/updater.log. With `late`, under strace where it can, the updater
    // takes a second to let go of its lock.
    void startSlowRun(
        QProcess &primary, const QString &name, const QString &where = "slow"_s, bool late = false)
    {
        publishPackage(path("www/%1/%2/pc"_s.arg(where, name)));
        QDir().mkpath(path(name));
        const QString lock = path(name + "-tmp/OrbApplicationUpdater-lock"_s);
        const bool slow
            = late && !underWine() && !QProcess::execute("strace"_s, {"-o/dev/null"_s, "true"_s});
        prepareUpdater(primary,
            QStringList {"--seccomp-bpf"_s, "-qqfo/dev/null"_s, "-EASAN_OPTIONS=detect_leaks=0"_s,
                "-P"_s, lock, "-eunlink"_s, "-einject=unlink:delay_enter=1s"_s, UPDATER_BINARY ""_s}
                    .mid(slow ? 0 : 7)
                + arguments(name, '/'_L1 + where + '/'_L1),
            path(name + "-tmp"_s), slow ? "strace"_s : QStringLiteral(UPDATER_BINARY));
        primary.start();
        QTRY_VERIFY2_WITH_TIMEOUT(!logMessages(logOf(name)).filter(" / 307200 bytes"_s).isEmpty(),
            qPrintable("state %1, exit code %2, %3: %4"_s.arg(primary.state())
                           .arg(primary.exitCode())
                           .arg(primary.errorString(), QString::fromLatin1(readFile(logOf(name))))),
            20000);
    }
    QStringList arguments(const QString &name, const QString &prefix) const
    {
        return {"--localPath"_s, path(name), "--remotePath"_s, nginx_.httpRoot + prefix + name};
    }
    QString logOf(const QString &name) const { return path(name + "/updates/updater.log"_s); }

private slots:
    void control_data()
    {
        QTest::addColumn<QByteArray>("message"); // written to the socket; empty: a second updater
        QTest::addColumn<QString>("option"); // of the second updater
        QTest::addColumn<bool>("quits");
        QTest::newRow("--shutdown") << QByteArray() << "--shutdown" << true;
        QTest::newRow("word, NUL, junk") << QByteArray("shutdown\0junk", 13) << "" << true;
        QTest::newRow("other word") << QByteArray("shutdownx") << "" << false;
        QTest::newRow("second updater") << QByteArray() << "--localPath" << false;
    }
    void control()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, option);
        QFETCH(bool, quits);
        if (underWine() && !message.isEmpty())
            QSKIP("a named pipe of Wine's is out of a Linux socket's reach");
        const QString name
            = QString::fromLatin1(QTest::currentDataTag()).remove(QRegularExpression("\\W"_s));
        QProcess primary;
        startSlowRun(primary, name, quits ? "stall"_s : "slow"_s, option == "--shutdown"_s);
        // What lies in available when the shutdown comes goes with it.
        writeFile(path(name + "/updates/available/dropped"_s), "d");
        if (message.isEmpty()) { // its own local path, so that only the lock keeps it out
            QVERIFY(QDir().mkpath(path(name + "-second"_s)));
            const QStringList args = option == "--shutdown"_s
                ? QStringList {option}
                : arguments(name + "-second"_s, "/"_s);
            const RunResult second = runUpdater(args, path(name + "-tmp"_s));
            QVERIFY2(second.clean && second.exitCode == 0,
                qPrintable(
                    QString::fromLocal8Bit(second.err) + logMessages(logOf(name)).join('\n'_L1)));
            QVERIFY(!QFile::exists(path(name + "-second/updates"_s)));
            // --shutdown returns once the running updater has let go of the lock, a second late.
            QLockFile lock(path(name + "-tmp/OrbApplicationUpdater-lock"_s));
            QVERIFY(underWine() || option != "--shutdown"_s || lock.tryLock(0));
        } else {
            qputenv("TMPDIR", path(name + "-tmp"_s).toLocal8Bit());
            QLocalSocket socket;
            socket.connectToServer("OrbApplicationUpdater"_s);
            QVERIFY(socket.waitForConnected(5000));
            socket.write(message);
            QVERIFY(socket.waitForBytesWritten(5000));
            QTRY_VERIFY(!logMessages(logOf(name)).filter("SOCKET message: shutdown"_s).isEmpty());
        }
        QTRY_COMPARE_WITH_TIMEOUT(primary.state(), QProcess::NotRunning, quits ? 10000 : 30000);
        QCOMPARE(primary.exitCode(), 0);
        const QStringList log = logMessages(logOf(name));
        QVERIFY2(log.contains("    Finished downloading 307200 bytes."_s) == !quits,
            qPrintable(log.join(QLatin1Char(10))));
        // No step of the check after a shutdown.
        QVERIFY(!quits || log.last() == "Received LOCAL SOCKET message: shutdown"_s);
        QCOMPARE(entries(path(name + "/updates/available"_s)),
            quits ? QStringList() : QStringList({"dropped"_s, packageName}));
        // The status tells a stopped run from one that stored its package.
        const QJsonObject status
            = QJsonDocument::fromJson(readFile(path(name + "/updates/status.json"_s))).object();
        QCOMPARE(status.value("outcome"_s).toString(), quits ? "stopped"_s : "downloaded"_s);
        QCOMPARE(status.value("message"_s).toString(),
            quits ? "Received LOCAL SOCKET message: shutdown"_s
                  : "Finished downloading 307200 bytes."_s);
        QVERIFY(status.value("bytes"_s).toDouble() > 0);
        // A stopped download keeps its part for the rest, beside available.
        QCOMPARE(entries(path(name + "/updates"_s)).filter(".part"_s).size(), quits ? 1 : 0);
    }

    // A share that never answers (here a FIFO): --shutdown still ends the run with no
    // step after it, and returns once the updater has archived its log and let go.
    void stalledShare()
    {
        if (underWine())
            QSKIP("a FIFO is Linux's");
        QVERIFY(QDir().mkpath(path("fifo/pc"_s)) && QDir().mkpath(path("stalled/backup/logs"_s)));
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo/pc/updates.json"_s)).constData(), 0644), 0);
        QProcess primary;
        prepareUpdater(primary,
            {"--localPath"_s, path("stalled"_s), "--remotePath"_s, fileUrl(path("fifo"_s))},
            path("stalled-tmp"_s));
        primary.start();
        QTRY_VERIFY(!logMessages(logOf("stalled"_s)).filter("Downloading file:"_s).isEmpty());
        QCOMPARE(runUpdater({"--shutdown"_s}, path("stalled-tmp"_s)).exitCode, 0);
        QVERIFY(QFile::exists(path("stalled/backup/logs/last-updater.log"_s)));
        QVERIFY(primary.waitForFinished(10000));
        QCOMPARE(logMessages(logOf("stalled"_s)).mid(8),
            QStringList({"Received LOCAL SOCKET connection"_s,
                "Received LOCAL SOCKET message: shutdown"_s}));
    }

    // Killed in the middle of a download: the lock is stale, the part stays
    // outside available, and the next run asks for the rest of the same file.
    void killedRun()
    {
        QProcess primary;
        startSlowRun(primary, "killed"_s, "stall"_s);
        primary.kill();
        QVERIFY(primary.waitForFinished());
        QCOMPARE(entries(path("killed/updates/available"_s)), QStringList());
        QCOMPARE(entries(path("killed/updates"_s)).filter(".part"_s).size(), 1);
        QVERIFY(QFile::link(path("www/stall/killed"_s), path("www/killed"_s))); // at full speed
        const RunResult next = runUpdater(arguments("killed"_s, "/"_s), path("killed-tmp"_s));
        QCOMPARE(next.exitCode, 0);
        QCOMPARE(entries(path("killed/updates/available"_s)), QStringList {packageName});
        QCOMPARE(entries(path("killed/updates"_s)).filter(".part"_s), QStringList());
        QVERIFY2(!logMessages(logOf("killed"_s)).filter("kept from an earlier run"_s).isEmpty(),
            qPrintable(logMessages(logOf("killed"_s)).join('\n'_L1)));
        QVERIFY(underWine()
            || !nginx_.log("access.log"_s).filter("/killed/pc/mirelle-2.2.0.pkg 206"_s).isEmpty());
    }
};

QTEST_GUILESS_MAIN(Instance)
#include "tst_instance.moc"
