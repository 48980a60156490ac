#include "app/updaterapp.h"
#include "support/testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QLockFile>
#include <QTemporaryDir>
#include <QtTest>

// Who becomes primary, observed through run() without options: a primary
// complains about the missing local path (2), any other instance returns 0.
class TestInstanceLock : public QObject {
    Q_OBJECT

private slots:
    void role_data();
    void role();
};

namespace {

int runWithoutOptions()
{
    int argc = 1;
    char name[] = "updater";
    char *argv[] = {name, nullptr};
    UpdaterApp app(argc, argv);
    return app.run();
}

// A lock file naming a process that no longer exists on this host.
bool writeDeadLock(const QString &path)
{
    const QByteArray host = QSysInfo::machineHostName().toLocal8Bit();
    // PIDs are below 2^22 on Linux; this one cannot be running.
    return TestSupport::writeFile(path, "99999999\nupdater\n" + host + '\n');
}

} // namespace

void TestInstanceLock::role_data()
{
    QTest::addColumn<QString>("lock");
    QTest::addColumn<int>("expected");
    QTest::newRow("no lock") << "none" << 2;
    QTest::newRow("held by a live process") << "live" << 0;
    QTest::newRow("held by a live process for an hour") << "live-old" << 0;
    QTest::newRow("left by a process that ended") << "dead" << 2;
    QTest::newRow("temporary directory missing") << "no-tmp" << 0;
}

void TestInstanceLock::role()
{
    QFETCH(QString, lock);
    QFETCH(int, expected);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString tmp = root.filePath(QStringLiteral("tmp"));
    TestSupport::isolateTempDir(tmp);
    const QString lockPath
        = QDir(tmp).absoluteFilePath(QStringLiteral("OrbApplicationUpdater-lock"));

    QLockFile holder(lockPath);
    if (lock.startsWith(QLatin1String("live"))) {
        QVERIFY(holder.tryLock(0));
        if (lock == QLatin1String("live-old")) {
            QFile file(lockPath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(
                QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
    } else if (lock == QLatin1String("dead")) {
        QVERIFY(writeDeadLock(lockPath));
    } else if (lock == QLatin1String("no-tmp")) {
        QVERIFY(QDir(tmp).removeRecursively());
    }
    QCOMPARE(runWithoutOptions(), expected);
    if (lock == QLatin1String("live-old"))
        QVERIFY(holder.isLocked());
}

QTEST_APPLESS_MAIN(TestInstanceLock)
#include "tst_instancelock.moc"
