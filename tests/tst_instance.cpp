// One updater at a time: the control channel during a download, and a run
// killed in the middle of one.

#include "support.h"

#include <QDir>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class Instance : public QObject {
    Q_OBJECT
    QTemporaryDir base_;
    std::unique_ptr<NginxServer> nginx_;

    QString path(const QString &name) const { return base_.filePath(name); }

    // Starts an updater on a rate-limited copy of a repository and returns
    // once the package is arriving; its log is <local>/updates/updater.log.
    void startSlowRun(QProcess &primary, const QString &name)
    {
        publishPackage(path(QStringLiteral("www/slow/") + name + QStringLiteral("/pc")));
        QDir().mkpath(path(name));
        prepareUpdater(primary, arguments(name, QStringLiteral("/slow/")),
            path(name + QStringLiteral("-tmp")));
        primary.start();
        QTRY_VERIFY_WITH_TIMEOUT(
            !logMessages(logOf(name)).filter(QStringLiteral("    [")).isEmpty(), 20000);
    }
    QStringList arguments(const QString &name, const QString &prefix) const
    {
        return {QStringLiteral("--localPath"), path(name), QStringLiteral("--remotePath"),
            nginx_->httpRoot() + prefix + name};
    }
    QString logOf(const QString &name) const
    {
        return path(name + QStringLiteral("/updates/updater.log"));
    }
    QStringList leftIn(const QString &dir) const
    {
        return QDir(dir).entryList(QDir::Files | QDir::Hidden);
    }

private slots:
    void initTestCase()
    {
        nginx_ = std::make_unique<NginxServer>(
            path(QStringLiteral("www")), path(QStringLiteral("nginx")));
        QVERIFY2(nginx_->start(), qPrintable(nginx_->errorString()));
    }

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
        const QString name = QString::fromLatin1(QTest::currentDataTag())
                                 .remove(QRegularExpression(QStringLiteral("\\W")));
        QProcess primary;
        startSlowRun(primary, name);
        // What lies in available when the shutdown comes goes with it.
        writeFile(path(name + QStringLiteral("/updates/available/dropped")), "d");
        if (message.isEmpty()) { // its own local path, so that only the lock keeps it out
            QVERIFY(QDir().mkpath(path(name + QStringLiteral("-second"))));
            const QStringList args = option == QLatin1String("--shutdown")
                ? QStringList {option}
                : arguments(name + QStringLiteral("-second"), QStringLiteral("/"));
            const RunResult second = runUpdater(args, path(name + QStringLiteral("-tmp")));
            QCOMPARE(second.exitCode, 0);
            QVERIFY(!QFile::exists(path(name + QStringLiteral("-second/updates"))));
        } else {
            qputenv("TMPDIR", path(name + QStringLiteral("-tmp")).toLocal8Bit());
            QLocalSocket socket;
            socket.connectToServer(QStringLiteral("OrbApplicationUpdater"));
            QVERIFY(socket.waitForConnected(5000));
            socket.write(message);
            QVERIFY(socket.waitForBytesWritten(5000));
            QTRY_VERIFY(!logMessages(logOf(name))
                             .filter(QStringLiteral("Received LOCAL SOCKET message: shutdown"))
                             .isEmpty());
        }
        QTRY_COMPARE_WITH_TIMEOUT(primary.state(), QProcess::NotRunning, quits ? 10000 : 30000);
        QCOMPARE(primary.exitCode(), 0);
        const QStringList log = logMessages(logOf(name));
        QCOMPARE(log.filter(QStringLiteral("=====")).size(), 1);
        QCOMPARE(log.contains(QStringLiteral("    Finished downloading 307200 bytes.")), !quits);
        QCOMPARE(leftIn(path(name + QStringLiteral("/updates/available"))),
            quits ? QStringList() : QStringList({QStringLiteral("dropped"), packageName}));
        QCOMPARE(leftIn(path(name + QStringLiteral("/updates"))).filter(QStringLiteral(".part")),
            QStringList());
    }

    // Killed in the middle of a download: the lock is stale, the staging file
    // stays outside available, and the next run removes it and starts over.
    void killedRun()
    {
        QProcess primary;
        startSlowRun(primary, QStringLiteral("killed"));
        primary.kill();
        QVERIFY(primary.waitForFinished());
        QCOMPARE(leftIn(path(QStringLiteral("killed/updates/available"))), QStringList());
        QCOMPARE(
            leftIn(path(QStringLiteral("killed/updates"))).filter(QStringLiteral(".part")).size(),
            1);
        publishPackage(path(QStringLiteral("www/killed/pc")));
        const RunResult next = runUpdater(arguments(QStringLiteral("killed"), QStringLiteral("/")),
            path(QStringLiteral("killed-tmp")));
        QCOMPARE(next.exitCode, 0);
        QCOMPARE(
            leftIn(path(QStringLiteral("killed/updates/available"))), QStringList {packageName});
        QCOMPARE(leftIn(path(QStringLiteral("killed/updates"))).filter(QStringLiteral(".part")),
            QStringList());
    }
};

QTEST_GUILESS_MAIN(Instance)
#include "tst_instance.moc"
