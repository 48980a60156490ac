// Repositories made by updater-publish, read by the real updater and the
// real tool: the round trip, the sample repository, the installed programs.
#include "support/testsupport.h"

#include "cli.h"
#include "rules.h"
#include "update/osversion.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

struct Ran {
    int exitCode = -1;
    QString out;
    QString err;
};

Ran runTool(const QStringList &args)
{
    Ran ran;
    QTextStream outStream(&ran.out);
    QTextStream errStream(&ran.err);
    ran.exitCode = runPublishTool(
        QStringList {QStringLiteral("updater-publish")} + args, outStream, errStream);
    return ran;
}

// Runs a program to its end; a watchdog kills it after 60 s.
Ran runProgram(const QString &program, const QStringList &args, const QString &tmpDir)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmpDir);
    QDir().mkpath(tmpDir);
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return Ran();
    }
    Ran ran;
    ran.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ran.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    ran.err = QString::fromLocal8Bit(process.readAllStandardError());
    return ran;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList logLinesOf(const QString &report)
{
    QStringList lines;
    for (const QString &line : report.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("  log: ")))
            lines << line.mid(7);
    }
    return lines;
}

// The --windows name of the system these tests run on.
QString hostWindowsName()
{
    static const char *const names[] = {"vista", "7", "8", "8.1", "10", "other"};
    return QLatin1String(names[currentWindowsGeneration()]);
}

} // namespace

class TestPublishRepo : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void updaterDoesWhatCheckSays_data();
    void updaterDoesWhatCheckSays();
    void examplesStayValid();
    void programs_data();
    void programs();
    void installsBothPrograms();

private:
    QTemporaryDir dir_;
    int serial_ = 0;
};

void TestPublishRepo::initTestCase()
{
    QVERIFY(dir_.isValid());
    TestSupport::isolateTempDir(dir_.filePath(QStringLiteral("tmp")));
}

void TestPublishRepo::updaterDoesWhatCheckSays_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("constraint");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("publishedFor"); // --current-version given to publish
    QTest::addColumn<int>("checkExit");

    const QString built = builtUpdaterVersion();
    QTest::newRow("pc, 7 or later") << "pc"
                                    << "7+"
                                    << "2.2.0" << built << 0;
    QTest::newRow("kiosk, any Windows") << "kiosk"
                                        << ""
                                        << "3.0" << built << 0;
    QTest::newRow("another kind, 8.1 or later") << "lab"
                                                << "8.1+"
                                                << "2.1.1702011952" << built << 0;
    // The host reports no Windows version, which sorts after 10.
    QTest::newRow("mac, 10 or earlier") << "mac"
                                        << "10-"
                                        << "2.5" << built << 3;
    QTest::newRow("published for older updaters") << "pc"
                                                  << ""
                                                  << "2.0"
                                                  << "1.0" << 3;
}

void TestPublishRepo::updaterDoesWhatCheckSays()
{
    QFETCH(QString, kind);
    QFETCH(QString, constraint);
    QFETCH(QString, version);
    QFETCH(QString, publishedFor);
    QFETCH(int, checkExit);

    const QString base = dir_.filePath(QStringLiteral("trip%1").arg(++serial_));
    const QByteArray bytes = "Mirelle " + version.toLatin1() + " package\n";
    const QString package = base + QStringLiteral("/in/mirelle.pkg");
    QVERIFY(TestSupport::writeFile(package, bytes));
    const QString root = base + QStringLiteral("/repository");
    QStringList publish {QStringLiteral("publish"), package, version, QStringLiteral("--root"),
        root, QStringLiteral("--kind"), kind, QStringLiteral("--current-version"), publishedFor};
    if (!constraint.isEmpty())
        publish << QStringLiteral("--constraint") << constraint;
    QCOMPARE(runTool(publish).exitCode, 0);

    const Ran check = runTool({QStringLiteral("check"), QStringLiteral("--root"), root,
        QStringLiteral("--kind"), kind, QStringLiteral("--windows"), hostWindowsName()});
    QCOMPARE(check.exitCode, checkExit);
    const QStringList predicted = logLinesOf(check.out);
    QVERIFY(!predicted.isEmpty());

    const QString local = base + QStringLiteral("/local");
    QVERIFY(QDir().mkpath(local));
    const TestSupport::RunResult run = TestSupport::runUpdater(
        {QStringLiteral("--localPath"), local, QStringLiteral("--remotePath"),
            QUrl::fromLocalFile(root).toString(), QStringLiteral("--appKind"), kind},
        base + QStringLiteral("/tmp"));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);

    // The updater writes the very lines check showed, one after the other.
    const QStringList log
        = TestSupport::logMessages(local + QStringLiteral("/updates/updater.log"));
    const int at = log.indexOf(predicted.first());
    QVERIFY2(at >= 0, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.mid(at, predicted.size()), predicted);

    const QString stored = local + QStringLiteral("/updates/available/mirelle.pkg");
    if (checkExit == 0) {
        QCOMPARE(readAll(stored), bytes);
        QVERIFY(log.contains(
            QStringLiteral("    SUCCESS: MD5 hash of downloaded file is %1, as expected.")
                .arg(QString::fromLatin1(TestSupport::md5Hex(bytes)))));
    } else {
        QVERIFY(QDir(local + QStringLiteral("/updates/available")).isEmpty());
    }
}

void TestPublishRepo::examplesStayValid()
{
    const QString examples = TestSupport::sourceDir() + QStringLiteral("/examples");
    const Ran check = runTool({QStringLiteral("check"), QStringLiteral("--root"),
        examples + QStringLiteral("/repository"), QStringLiteral("--kind"), QStringLiteral("pc")});
    QCOMPARE(check.exitCode, 0);
    QVERIFY2(check.out.contains(QStringLiteral("Package mirelle-2.2.0.pkg: digest verified (")),
        qPrintable(check.out));
    QVERIFY2(!check.out.contains(QStringLiteral("warning:")), qPrintable(check.out));

    // The script that made them makes the same repository again.
    const QString root = dir_.filePath(QStringLiteral("examples-again"));
    const Ran made = runProgram(QStringLiteral("sh"),
        {TestSupport::sourceDir() + QStringLiteral("/tools/make-examples.sh"),
            QFileInfo(QStringLiteral(PUBLISH_BINARY)).absolutePath(), root},
        dir_.filePath(QStringLiteral("tmp")));
    QVERIFY2(made.exitCode == 0, qPrintable(made.err));
    QVERIFY(made.out.contains(QStringLiteral("Result: would download mirelle-2.2.0.pkg (exit 0)")));
    const QString committed = examples + QStringLiteral("/repository/pc/");
    QCOMPARE(readAll(root + QStringLiteral("/pc/updates.json")),
        readAll(committed + QStringLiteral("updates.json")));
    const QByteArray package = readAll(examples + QStringLiteral("/packages/mirelle-2.2.0.pkg"));
    QVERIFY(!package.isEmpty());
    QCOMPARE(readAll(committed + QStringLiteral("mirelle-2.2.0.pkg")), package);
    QCOMPARE(readAll(root + QStringLiteral("/pc/mirelle-2.2.0.pkg")), package);
}

void TestPublishRepo::programs_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");

    const QString tool = QStringLiteral(PUBLISH_BINARY);
    const QString repository = TestSupport::sourceDir() + QStringLiteral("/examples/repository");
    QTest::newRow("tool help") << tool << QStringList {QStringLiteral("--help")} << 0
                               << QStringLiteral("Usage: updater-publish publish");
    QTest::newRow("tool usage error")
        << tool << QStringList {QStringLiteral("check")} << 2 << QString();
    QTest::newRow("tool check, would download")
        << tool << QStringList {QStringLiteral("check"), QStringLiteral("--root"), repository} << 0
        << QStringLiteral("  log: Checking if version 2.2.0 is more recent than ");
    QTest::newRow("tool check, would not")
        << tool
        << QStringList {QStringLiteral("check"), QStringLiteral("--root"), repository,
               QStringLiteral("--windows"), QStringLiteral("vista")}
        << 3 << QStringLiteral("  log: Target OS Version is not compatible.");
    QTest::newRow("tool check, invalid")
        << tool << QStringList {QStringLiteral("check"), repository + QStringLiteral("/none.json")}
        << 4 << QStringLiteral("  log: Could not open updates.json for reading");
    // The version the tool assumes is the one the updater reports.
    QTest::newRow("updater version")
        << TestSupport::updaterBinary() << QStringList {QStringLiteral("--version")} << 0
        << builtUpdaterVersion();
}

void TestPublishRepo::programs()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);

    const Ran ran = runProgram(program, args, dir_.filePath(QStringLiteral("tmp")));
    QCOMPARE(ran.exitCode, exitCode);
    QVERIFY2(ran.out.contains(out), qPrintable(ran.out));
    QCOMPARE(ran.err.isEmpty(), exitCode != 2);
}

void TestPublishRepo::installsBothPrograms()
{
    const QString prefix = dir_.filePath(QStringLiteral("prefix"));
    const QString buildDir = QFileInfo(QStringLiteral(PUBLISH_BINARY)).absolutePath();
    const Ran install = runProgram(QStringLiteral("cmake"),
        {QStringLiteral("--install"), buildDir, QStringLiteral("--prefix"), prefix},
        dir_.filePath(QStringLiteral("tmp")));
    QVERIFY2(install.exitCode == 0, qPrintable(install.err));
    const Ran help = runProgram(prefix + QStringLiteral("/bin/updater-publish"),
        {QStringLiteral("--help")}, dir_.filePath(QStringLiteral("tmp")));
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("Usage: updater-publish")));
    const Ran version = runProgram(prefix + QStringLiteral("/bin/updater"),
        {QStringLiteral("--version")}, dir_.filePath(QStringLiteral("tmp")));
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.contains(builtUpdaterVersion()));
}

QTEST_GUILESS_MAIN(TestPublishRepo)
#include "tst_publishrepo.moc"
