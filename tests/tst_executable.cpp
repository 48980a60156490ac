#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QUrl>
#include <QtTest>

#include <memory>

using TestSupport::RunResult;

namespace {

const int watchdogMs = 30000;
const QString stampPattern
    = QStringLiteral("^<\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d:\\d{3}>  ");
const QRegularExpression lineFormat(stampPattern + QStringLiteral(".*$"));
const QString banner = QStringLiteral("========================================================");
const QByteArray package = "package body, not a real archive\n";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The first line of a log that breaks the line format; null when none does.
QString firstMalformedLine(const QString &logPath)
{
    const QByteArray content = readAll(logPath);
    if (content.isEmpty() || !content.endsWith('\n'))
        return QStringLiteral("(log empty or not ended by a line feed)");
    for (const QString &line : TestSupport::readLines(logPath)) {
        if (!lineFormat.match(line).hasMatch())
            return line;
    }
    return QString();
}

QStringList locations(const QString &local, const QString &remote)
{
    return {QStringLiteral("--localPath"), local, QStringLiteral("--remotePath"), remote};
}

// Stops a child that a failed check left running.
struct ProcessKiller {
    void operator()(QProcess *process) const
    {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        delete process;
    }
};

} // namespace

class TestExecutable : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void exitCodes_data();
    void exitCodes();
    void fullRunLogFormat();
    void secondRunReplacesLog();
    void archive_data();
    void archive();
    void nonLatin1PathWrittenAsQuestionMark();
    void qtWarningTagged();

private:
    QString dir(const QString &name);
    RunResult run(const QString &name, const QStringList &args);
    QString makeRepository(const QString &name);

    QTemporaryDir root_;
};

void TestExecutable::initTestCase()
{
    QVERIFY(root_.isValid());
    // Arguments and paths with non-ASCII characters travel as UTF-8 both ways.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
    qputenv("LC_ALL", "C.UTF-8");
}

QString TestExecutable::dir(const QString &name)
{
    const QString path = root_.filePath(name);
    QDir().mkpath(path);
    return path;
}

RunResult TestExecutable::run(const QString &name, const QStringList &args)
{
    return TestSupport::runUpdater(args, dir(name + QStringLiteral("-tmp")), watchdogMs);
}

// A file:// remote root whose pc/ directory offers a newer version.
QString TestExecutable::makeRepository(const QString &name)
{
    const QString repo = dir(name);
    const QJsonObject manifest {{QStringLiteral("version"), QStringLiteral("9.0")},
        {QStringLiteral("os"), QStringLiteral("windows")},
        {QStringLiteral("compatible_os_version"), QStringLiteral("7+")},
        {QStringLiteral("package"), QStringLiteral("update-9.0.pkg")},
        {QStringLiteral("md5"), QString::fromLatin1(TestSupport::md5Hex(package))}};
    TestSupport::writeFile(
        repo + QStringLiteral("/pc/updates.json"), QJsonDocument(manifest).toJson());
    TestSupport::writeFile(repo + QStringLiteral("/pc/update-9.0.pkg"), package);
    return QUrl::fromLocalFile(repo).toString();
}

void TestExecutable::exitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("primary");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("stdoutHas"); // empty: nothing on standard output
    QTest::addColumn<QString>("stderrHas");

    const QString local = dir(QStringLiteral("codes-local"));
    const QStringList help {QStringLiteral("Software updater for Corvane Mirelle."),
        QStringLiteral("Local path where updates are stored"),
        QStringLiteral("Remote path where updates are offered"),
        QStringLiteral("Type of application. Valid values are kiosk, pc, mac. If unspecified a "
                       "value is chosen between pc and mac."),
        QStringLiteral(
            "If another instance of updater is running, it will send a shutdown message to it"),
        QStringLiteral("--localPath <localPath>"), QStringLiteral("--remotePath <remotePath>"),
        QStringLiteral("--appKind <appKind>"), QStringLiteral("--shutdown")};

    QTest::newRow("help") << QStringList {QStringLiteral("--help")} << true << 0 << help
                          << QString();
    QTest::newRow("version") << QStringList {QStringLiteral("--version")} << true << 0
                             << QStringList {QStringLiteral("Software Updater 2.1.1702011951")}
                             << QString();
    QTest::newRow("help, non-primary")
        << QStringList {QStringLiteral("--help")} << false << 0 << QStringList() << QString();
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--bogus")} << true << 1
                                    << QStringList() << QStringLiteral("Cannot parse arguments: ");
    QTest::newRow("no arguments") << QStringList() << true << 2 << QStringList()
                                  << QStringLiteral("Local path for updater not set.");
    QTest::newRow("no remote path")
        << QStringList {QStringLiteral("--localPath"), local} << true << 2 << QStringList()
        << QStringLiteral("Remote path for updater not set.");
    QTest::newRow("shutdown, primary")
        << QStringList {QStringLiteral("--shutdown")} << true << 0 << QStringList() << QString();
    QTest::newRow("local path missing")
        << QStringList {QStringLiteral("--localPath"), local + QStringLiteral("/none"),
               QStringLiteral("--remotePath"), QStringLiteral("http://127.0.0.1:1/")}
        << true << 0 << QStringList() << QStringLiteral("doesnt exist.");
}

void TestExecutable::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(bool, primary);
    QFETCH(int, code);
    QFETCH(QStringList, stdoutHas);
    QFETCH(QString, stderrHas);

    const QString tmp
        = dir(QStringLiteral("codes-tmp-") + QString::fromLatin1(QTest::currentDataTag()));
    QLockFile otherInstance(
        QDir(tmp).absoluteFilePath(QStringLiteral("OrbApplicationUpdater-lock")));
    if (!primary)
        QVERIFY(otherInstance.tryLock(0));

    const RunResult result = TestSupport::runUpdater(args, tmp, watchdogMs);
    QVERIFY(result.finished);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, code);
    if (stdoutHas.isEmpty())
        QCOMPARE(result.out, QByteArray());
    // The parser wraps its help text to the width of a terminal.
    const QString out = QString::fromUtf8(result.out).simplified();
    for (const QString &text : stdoutHas)
        QVERIFY2(out.contains(text), result.out.constData());
    if (!stderrHas.isEmpty())
        QVERIFY2(result.err.contains(stderrHas.toUtf8()), result.err.constData());
    if (!primary)
        QCOMPARE(result.err, QByteArray());
}

void TestExecutable::fullRunLogFormat()
{
    const QString remote = makeRepository(QStringLiteral("full-repo"));
    const QString local = dir(QStringLiteral("full-local"));
    const RunResult result = run(QStringLiteral("full"), locations(local, remote));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readAll(local + QStringLiteral("/updates/available/update-9.0.pkg")), package);

    const QString log = local + QStringLiteral("/updates/updater.log");
    const QString malformed = firstMalformedLine(log);
    QVERIFY2(malformed.isEmpty(), qPrintable(malformed));
    const QStringList messages = TestSupport::logMessages(log);
    QVERIFY(messages.size() > 8);
    QCOMPARE(messages.first(), banner);
    QVERIFY(messages.contains(QStringLiteral("No update was already downloaded.")));
    // The system's own lines carry no level tag.
    for (const QString &message : messages)
        QVERIFY2(!message.startsWith(QLatin1Char('[')), qPrintable(message));
}

void TestExecutable::secondRunReplacesLog()
{
    const QString remote = makeRepository(QStringLiteral("twice-repo"));
    const QString local = dir(QStringLiteral("twice-local"));
    const QStringList args = locations(local, remote);
    const QString log = local + QStringLiteral("/updates/updater.log");

    QCOMPARE(run(QStringLiteral("twice-1"), args).exitCode, 0);
    const QStringList first = TestSupport::readLines(log);
    QVERIFY(TestSupport::logMessages(log).contains(
        QStringLiteral("No update was already downloaded.")));

    QCOMPARE(run(QStringLiteral("twice-2"), args).exitCode, 0);
    const QStringList second = TestSupport::readLines(log);
    const QStringList messages = TestSupport::logMessages(log);
    QVERIFY(!second.isEmpty());
    QCOMPARE(messages.first(), banner);
    QCOMPARE(messages.count(banner), 1);
    QCOMPARE(
        messages.last(), QStringLiteral("Previously installed updates are yet to be installed."));
    QVERIFY(!messages.contains(QStringLiteral("No update was already downloaded.")));
    for (const QString &line : second)
        QVERIFY2(!first.contains(line), qPrintable(line));
}

void TestExecutable::archive_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("backupExists");
    QTest::addColumn<bool>("reachesLog"); // false: stops for a missing remotePath
    QTest::newRow("backup/logs present") << QStringLiteral("archive") << true << true;
    QTest::newRow("backup/logs absent") << QStringLiteral("no-archive") << false << true;
    QTest::newRow("stopped before the log") << QStringLiteral("early") << true << false;
}

void TestExecutable::archive()
{
    QFETCH(QString, name);
    QFETCH(bool, backupExists);
    QFETCH(bool, reachesLog);

    const QString remote = makeRepository(name + QStringLiteral("-repo"));
    const QString local = dir(name + QStringLiteral("-local"));
    const QString logs = local + QStringLiteral("/backup/logs");
    if (backupExists)
        QVERIFY(QDir().mkpath(logs));
    const QString logPath = local + QStringLiteral("/updates/updater.log");
    const QByteArray earlier = "<01-01-2020 00:00:00:000>  line of an earlier run\n";
    QVERIFY(TestSupport::writeFile(logPath, earlier));

    const RunResult result = run(name,
        reachesLog ? locations(local, remote) : QStringList {QStringLiteral("--localPath"), local});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, reachesLog ? 0 : 2);
    const QByteArray log = readAll(logPath);
    if (!reachesLog) {
        QCOMPARE(log, earlier);
        QCOMPARE(QDir(logs).entryList(QDir::Files), QStringList());
        return;
    }
    QVERIFY(!log.isEmpty() && !log.contains(earlier));
    if (!backupExists) {
        QVERIFY(!QFileInfo::exists(local + QStringLiteral("/backup")));
        return;
    }
    QStringList names = QDir(logs).entryList(QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 2);
    QVERIFY(names.removeOne(QStringLiteral("last-updater.log")));
    const QRegularExpression dated(QStringLiteral("^updater-\\d{6}-\\d{6}\\.log$"));
    QVERIFY2(dated.match(names.first()).hasMatch(), qPrintable(names.first()));
    QCOMPARE(readAll(logs + QLatin1Char('/') + names.first()), log);
    QCOMPARE(readAll(logs + QStringLiteral("/last-updater.log")), log);
}

void TestExecutable::nonLatin1PathWrittenAsQuestionMark()
{
    const QString remote = makeRepository(QStringLiteral("cyrillic-repo"));
    const QString local = dir(QStringLiteral("жж-local"));
    const RunResult result = run(QStringLiteral("cyrillic"), locations(local, remote));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    const QString log = local + QStringLiteral("/updates/updater.log");
    const QByteArray content = readAll(log);
    QVERIFY(!content.isEmpty());
    QVERIFY2(!content.contains(QString::fromUtf8("ж").toUtf8()), content.constData());
    QString written = QDir(local).absolutePath() + QStringLiteral("/updates");
    written.replace(QString::fromUtf8("ж"), QStringLiteral("?"));
    QVERIFY(
        TestSupport::logMessages(log).contains(QStringLiteral("  Using local path at ") + written));
}

// Qt's lock file facility warns when it cannot remove its own lock file at
// the end of the run, as when something cleaned the temporary directory while
// the updater waited for its manifest.
void TestExecutable::qtWarningTagged()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString tmp = dir(QStringLiteral("warn-tmp"));
    const QString local = dir(QStringLiteral("warn-local"));
    const QString remote = QStringLiteral("http://127.0.0.1:%1/updates").arg(server.serverPort());
    std::unique_ptr<QProcess, ProcessKiller> updater(
        TestSupport::startUpdater(locations(local, remote), tmp));

    QVERIFY(server.waitForNewConnection(watchdogMs));
    QTcpSocket *socket = server.nextPendingConnection();
    QByteArray request;
    while (!request.contains("\r\n\r\n") && socket->waitForReadyRead(watchdogMs))
        request += socket->readAll();
    QVERIFY(request.startsWith("GET /updates/pc/updates.json "));
    QVERIFY(
        QFile::remove(QDir(tmp).absoluteFilePath(QStringLiteral("OrbApplicationUpdater-lock"))));
    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
    QVERIFY(socket->waitForBytesWritten(watchdogMs));
    socket->disconnectFromHost();

    QVERIFY(updater->waitForFinished(watchdogMs));
    QCOMPARE(updater->exitCode(), 0);
    const QString log = local + QStringLiteral("/updates/updater.log");
    const QString malformed = firstMalformedLine(log);
    QVERIFY2(malformed.isEmpty(), qPrintable(malformed));
    const QRegularExpression warning(
        stampPattern + QStringLiteral("\\[warn\\] \\S.*OrbApplicationUpdater-lock.*$"));
    const QStringList lines = TestSupport::readLines(log);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(warning.match(lines.last()).hasMatch(), qPrintable(lines.last()));
    // The update check itself ran as usual before it.
    QVERIFY(TestSupport::logMessages(log).contains(
        QStringLiteral("No update information was found in updates.json")));
}

QTEST_GUILESS_MAIN(TestExecutable)
#include "tst_executable.moc"
