// A run killed in the middle of a package download leaves nothing that could
// pass for a package, and the next run clears what it left and completes.

#include "support/fakehttpserver.h"
#include "support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

namespace {

const QByteArray packagePath("/pc/pkg-9.0.0.bin");

QByteArray package()
{
    QByteArray bytes(400000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + i / 1021);
    return bytes;
}

QByteArray manifest(const QByteArray &md5)
{
    return "{\"md5\": \"" + md5
        + "\", \"os\": \"windows\", \"compatible_os_version\": \"any\", "
          "\"version\": \"9.0.0\", \"package\": \"pkg-9.0.0.bin\"}";
}

QStringList everything(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QStringList stagingFiles(const QString &dir)
{
    return QDir(dir).entryList(
        {QStringLiteral(".updater-*.part")}, QDir::Files | QDir::Hidden | QDir::System);
}

// Kills the child if the test ends early, so that nothing outlives it.
struct ChildGuard {
    QProcess *process;
    ~ChildGuard()
    {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
};

} // namespace

class TestKillDownload : public QObject {
    Q_OBJECT

private slots:
    void killedRunLeavesOnlyStaging();
};

void TestKillDownload::killedRunLeavesOnlyStaging()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString local = tmp.filePath(QStringLiteral("local"));
    const QString updates = local + QStringLiteral("/updates");
    const QString available = updates + QStringLiteral("/available");
    const QString tmpDir = tmp.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(local));

    const QByteArray body = package();
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("/pc/updates.json", FakeResponse::ok(manifest(md5Hex(body))));
    server.setResponse(packagePath, FakeResponse::ok(body).stallAfter(body.size() / 2));
    const QStringList args {QStringLiteral("--localPath"), local, QStringLiteral("--remotePath"),
        server.url(QString()).toString()};

    // The first run stalls half way through the package and is killed there.
    QSignalSpy stalled(&server, &FakeHttpServer::stalled);
    QProcess *first = startUpdater(args, tmpDir, this);
    ChildGuard firstGuard {first};
    QSignalSpy firstDone(first, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QTRY_VERIFY_WITH_TIMEOUT(!stalled.isEmpty(), 30000);
    QCOMPARE(stalled.first().at(0).toByteArray(), packagePath);
    QCOMPARE(stalled.first().at(1).toLongLong(), qint64(body.size() / 2));
    QTRY_COMPARE_WITH_TIMEOUT(stagingFiles(updates).size(), 1, 30000);
    first->kill();
    QTRY_COMPARE_WITH_TIMEOUT(firstDone.size(), 1, 30000);
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);

    QCOMPARE(everything(available), QStringList());
    const QStringList leftovers = stagingFiles(updates);
    QCOMPARE(leftovers.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\.updater-[A-Za-z0-9]{6}\\.part$"))
                 .match(leftovers.first())
                 .hasMatch(),
        qPrintable(leftovers.first()));

    // The next run, against a server that completes, clears the leftover.
    server.setResponse(packagePath, FakeResponse::ok(body));
    QProcess *second = startUpdater(args, tmpDir, this);
    ChildGuard secondGuard {second};
    QSignalSpy secondDone(second, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QTRY_COMPARE_WITH_TIMEOUT(secondDone.size(), 1, 60000);
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);

    QCOMPARE(stagingFiles(updates), QStringList());
    QCOMPARE(everything(available), QStringList {QStringLiteral("pkg-9.0.0.bin")});
    QFile stored(available + QStringLiteral("/pkg-9.0.0.bin"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == body);
    const QStringList log = logMessages(updates + QStringLiteral("/updater.log"));
    QVERIFY2(log.contains(QStringLiteral("    SUCCESS: MD5 hash of downloaded file is %1, as "
                                         "expected.")
                              .arg(QString::fromLatin1(md5Hex(body)))),
        qPrintable(log.join(QLatin1Char('\n'))));
    QVERIFY(log.contains(QStringLiteral("    Finished downloading 400000 bytes.")));
}

QTEST_MAIN(TestKillDownload)
#include "tst_killdownload.moc"
