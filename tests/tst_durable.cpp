// Under strace: flushed, renamed into available, available synced; a failed flush stores nothing.

#include "support/nginxserver.h"
#include "support/testsupport.h"

#include <QtTest>

const QStringList failed {QStringLiteral("    ERROR: Cloud not store downloaded file."),
    QStringLiteral("    Updates could not be downloaded properly. Deleting partially downloaded "
                   "files to try again.")};

class TstDurable : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    const QString www_ = dir_.filePath(QStringLiteral("www"));
    NginxServer nginx_ {www_, dir_.filePath(QStringLiteral("nginx"))};

private slots:
    void initTestCase()
    {
        QProcess probe;
        probe.start(QStringLiteral("strace"), {QStringLiteral("true")});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            QSKIP("strace is not installed or cannot trace here (no ptrace rights)");
        QVERIFY(QDir().mkpath(www_ + QStringLiteral("/pc")));
        QVERIFY2(nginx_.start(), qPrintable(nginx_.errorString()));
    }

    void handOver_data()
    {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QStringList>("faults"); // injected by strace
        const QString file = QUrl::fromLocalFile(www_).toString();
        QTest::newRow("http") << nginx_.httpRoot() << qint64(20 << 20) << QStringList();
        QTest::newRow("file") << file << qint64(20 << 20) << QStringList();
        QTest::newRow("file over 2 GiB") << file << (qint64(1) << 31) + 1 << QStringList();
        QTest::newRow("flush fails") << file << qint64(20 << 20)
                                     << QStringList(QStringLiteral("-einject=fdatasync:error=EIO"));
    }

    void handOver()
    {
        QFETCH(QString, remote);
        QFETCH(qint64, size);
        QFETCH(QStringList, faults);
        QFile pkg(www_ + QStringLiteral("/pc/p.pkg"));
        QCryptographicHash md5(QCryptographicHash::Md5);
        QVERIFY(pkg.open(QIODevice::ReadWrite) && pkg.resize(size) && md5.addData(&pkg));
        QFile json(www_ + QStringLiteral("/pc/updates.json"));
        const QByteArray text = "{\"md5\":\"" + md5.result().toHex()
            + "\",\"os\":\"windows\",\"version\":\"99.0\",\"package\":\"p.pkg\"}";
        QVERIFY(json.open(QIODevice::WriteOnly) && json.write(text) == text.size() && json.flush());
        QTemporaryDir run(dir_.filePath(QStringLiteral("run-XXXXXX")));
        QProcess strace; // the updater gets a TMPDIR of its own, for its lock and socket
        strace.start(QStringLiteral("strace"),
            QStringList {
                QStringLiteral("-fyetrace=/rename|sync"), QStringLiteral("-ETMPDIR=") + run.path()}
                << faults << QStringLiteral(UPDATER_BINARY) << QStringLiteral("--localPath")
                << run.path() << QStringLiteral("--remotePath") << remote);
        QVERIFY(strace.waitForFinished(180000) && strace.exitCode() == 0);
        const QDir dir(run.filePath(QStringLiteral("updates")));
        QStringList log = TestSupport::logMessages(dir.filePath(QStringLiteral("updater.log")));
        QVERIFY(dir.entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden).isEmpty()
            && QDir(dir.filePath(QStringLiteral("available"))).isEmpty() != faults.isEmpty());
        const QString stored = QStringLiteral("    Finished downloading %1 bytes.").arg(size);
        const QStringList tail = faults.isEmpty() ? QStringList(stored) : failed;
        QCOMPARE(log.mid(log.size() - tail.size()), tail);
        const QRegularExpression order(QStringLiteral(
            "updates\\.json\"[\\s\\S]*f(data)?sync\\(\\d+<[^>]*/updates/[^/>]+>"
            "[\\s\\S]*rename[^\\n]*/available/p\\.pkg\"[\\s\\S]*fsync\\(\\d+<[^>]*/available>"));
        QVERIFY(!faults.isEmpty()
            || order.match(QString::fromLocal8Bit(strace.readAllStandardError())).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TstDurable)
#include "tst_durable.moc"
