#include "app/updaterapp.h"
#include "log/logsink.h"
#include "support/testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString stamp = QStringLiteral("05-12-2026 19:56:28:123");
const QRegularExpression lineFormat(
    QStringLiteral("^<(\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d:\\d{3})>  (.*)$"));

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Issues one message of the given type through the Qt message facility.
void issue(QtMsgType type, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    switch (type) {
    case QtDebugMsg:
        qDebug("%s", bytes.constData());
        break;
    case QtWarningMsg:
        qWarning("%s", bytes.constData());
        break;
    case QtCriticalMsg:
        qCritical("%s", bytes.constData());
        break;
    default:
        qInfo("%s", bytes.constData());
        break;
    }
}

} // namespace

class TestLogSink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formatLine_data();
    void formatLine();
    void handlerWrites_data();
    void handlerWrites();
    void linesAppendInOrder();
    void samePathTwiceLeavesLogUntouched();
    void firstCallReplacesOldLog();
    void emptyPathIgnored();
    void otherPathRedirects();
    void messagesAfterTeardownDropped();

private:
    QString updatesDir(const QString &name);

    QTemporaryDir root_;
    QtMessageHandler testHandler_ = nullptr;
    int argc_ = 1;
    char arg0_[16] = "tst_logsink";
    char *argv_[2] = {arg0_, nullptr};
    std::unique_ptr<UpdaterApp> app_;
};

void TestLogSink::initTestCase()
{
    QVERIFY(root_.isValid());
    TestSupport::isolateTempDir(root_.filePath(QStringLiteral("tmp")));
    testHandler_ = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(testHandler_);
}

void TestLogSink::init()
{
    app_.reset(new UpdaterApp(argc_, argv_));
}

void TestLogSink::cleanup()
{
    app_.reset();
    // setLocalPath discards whatever handler was there; give QTest its own back.
    qInstallMessageHandler(testHandler_);
}

QString TestLogSink::updatesDir(const QString &name)
{
    const QString dir = root_.filePath(name + QStringLiteral("/updates"));
    QDir().mkpath(dir);
    return dir;
}

void TestLogSink::formatLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");

    const QString hello = QStringLiteral("hello");
    const QByteArray prefix = "<05-12-2026 19:56:28:123>  ";
    QTest::newRow("information") << int(QtInfoMsg) << hello << prefix + "hello\n";
    QTest::newRow("debug") << int(QtDebugMsg) << hello << prefix + "[debug] hello\n";
    QTest::newRow("warning") << int(QtWarningMsg) << hello << prefix + "[warn] hello\n";
    QTest::newRow("critical") << int(QtCriticalMsg) << hello << prefix + "[critical] hello\n";
    QTest::newRow("fatal") << int(QtFatalMsg) << hello << prefix + "[fatal] hello\n";
    QTest::newRow("value 5") << 5 << hello << prefix + "hello\n";
    QTest::newRow("value 7") << 7 << hello << prefix + "hello\n";
    QTest::newRow("outside Latin-1")
        << int(QtInfoMsg) << QStringLiteral("ж and € and ✓") << prefix + "? and ? and ?\n";
    QTest::newRow("Latin-1 kept") << int(QtInfoMsg) << QStringLiteral("café ÿ\u00a0")
                                  << prefix + "caf\xe9 \xff\xa0\n";
    QTest::newRow("tagged and outside Latin-1")
        << int(QtWarningMsg) << QStringLiteral("жж") << prefix + "[warn] ??\n";
    QTest::newRow("line feeds kept")
        << int(QtInfoMsg) << QStringLiteral("a\nb\n") << prefix + "a\nb\n\n";
    QTest::newRow("carriage return kept")
        << int(QtInfoMsg) << QStringLiteral("a\r\nb") << prefix + "a\r\nb\n";
    QTest::newRow("leading blanks kept")
        << int(QtInfoMsg) << QStringLiteral("    Verifying") << prefix + "    Verifying\n";
    QTest::newRow("percent signs")
        << int(QtInfoMsg) << QStringLiteral("[50 %] %1 %s") << prefix + "[50 %] %1 %s\n";
}

void TestLogSink::formatLine()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);

    QCOMPARE(LogSink::formatLine(static_cast<QtMsgType>(type), stamp, message), line);
}

void TestLogSink::handlerWrites_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("written"); // what follows the time stamp; empty: no line

    QTest::newRow("information") << int(QtInfoMsg) << QStringLiteral("Checking for updates")
                                 << QByteArray("Checking for updates");
    QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("from Qt")
                             << QByteArray("[warn] from Qt");
    QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("d") << QByteArray("[debug] d");
    QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("c")
                              << QByteArray("[critical] c");
    QTest::newRow("outside Latin-1")
        << int(QtInfoMsg) << QStringLiteral("путь") << QByteArray("????");
    QTest::newRow("empty information") << int(QtInfoMsg) << QString() << QByteArray();
    QTest::newRow("empty warning") << int(QtWarningMsg) << QString() << QByteArray();
}

void TestLogSink::handlerWrites()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QByteArray, written);

    const QString dir = updatesDir(QString::fromLatin1(QTest::currentDataTag()));
    app_->setLocalPath(dir);
    const QString log = dir + QStringLiteral("/updater.log");
    QCOMPARE(app_->logFilePath(), log);

    const QDateTime before = QDateTime::currentDateTime();
    issue(static_cast<QtMsgType>(type), message);
    const QDateTime after = QDateTime::currentDateTime();

    const QByteArray content = readAll(log);
    if (written.isEmpty()) {
        QVERIFY(!QFile::exists(log));
        return;
    }
    QVERIFY(content.endsWith('\n'));
    QVERIFY(!content.contains('\r'));
    QCOMPARE(content.count('\n'), 1);
    const QRegularExpressionMatch match
        = lineFormat.match(QString::fromLatin1(content.left(content.size() - 1)));
    QVERIFY2(match.hasMatch(), content.constData());
    QCOMPARE(match.captured(2).toLatin1(), written);
    // The stamp is the local time of the write, read back in its own format.
    const QDateTime writtenAt
        = QDateTime::fromString(match.captured(1), QStringLiteral("dd-MM-yyyy hh:mm:ss:zzz"));
    QVERIFY(writtenAt.isValid());
    QVERIFY(writtenAt >= before.addMSecs(-1) && writtenAt <= after.addMSecs(1));
}

void TestLogSink::linesAppendInOrder()
{
    const QString dir = updatesDir(QStringLiteral("order"));
    app_->setLocalPath(dir);
    qInfo("one");
    qInfo("two");
    qInfo("three");
    QCOMPARE(TestSupport::logMessages(dir + QStringLiteral("/updater.log")),
        QStringList({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));
}

void TestLogSink::samePathTwiceLeavesLogUntouched()
{
    const QString dir = updatesDir(QStringLiteral("twice"));
    const QString log = dir + QStringLiteral("/updater.log");
    app_->setLocalPath(dir);
    qInfo("before the second call");
    const QByteArray content = readAll(log);
    QVERIFY(!content.isEmpty());

    app_->setLocalPath(dir);
    QCOMPARE(readAll(log), content);
    qInfo("after the second call");
    QCOMPARE(TestSupport::logMessages(log),
        QStringList(
            {QStringLiteral("before the second call"), QStringLiteral("after the second call")}));
}

void TestLogSink::firstCallReplacesOldLog()
{
    const QString dir = updatesDir(QStringLiteral("old"));
    const QString log = dir + QStringLiteral("/updater.log");
    QVERIFY(TestSupport::writeFile(log, "<01-01-2020 00:00:00:000>  line of the last run\n"));

    app_->setLocalPath(dir);
    QVERIFY(!QFile::exists(log));
    qInfo("this run");
    QCOMPARE(TestSupport::logMessages(log), QStringList {QStringLiteral("this run")});
}

void TestLogSink::emptyPathIgnored()
{
    // As the first call: nothing is selected and no handler replaces the current one.
    app_->setLocalPath(QString());
    QVERIFY(app_->logFilePath().isEmpty());
    const QtMessageHandler current = qInstallMessageHandler(testHandler_);
    QVERIFY(current == testHandler_);

    const QString dir = updatesDir(QStringLiteral("empty"));
    const QString log = dir + QStringLiteral("/updater.log");
    app_->setLocalPath(dir);
    qInfo("before");
    app_->setLocalPath(QString());
    QCOMPARE(app_->logFilePath(), log);
    qInfo("after");
    QCOMPARE(TestSupport::logMessages(log),
        QStringList({QStringLiteral("before"), QStringLiteral("after")}));
}

void TestLogSink::otherPathRedirects()
{
    const QString first = updatesDir(QStringLiteral("first"));
    const QString second = updatesDir(QStringLiteral("second"));
    QVERIFY(TestSupport::writeFile(second + QStringLiteral("/updater.log"), "stale\n"));

    app_->setLocalPath(first);
    qInfo("to the first");
    app_->setLocalPath(second);
    qInfo("to the second");
    QCOMPARE(TestSupport::logMessages(first + QStringLiteral("/updater.log")),
        QStringList {QStringLiteral("to the first")});
    QCOMPARE(TestSupport::logMessages(second + QStringLiteral("/updater.log")),
        QStringList {QStringLiteral("to the second")});
}

void TestLogSink::messagesAfterTeardownDropped()
{
    const QString dir = updatesDir(QStringLiteral("teardown"));
    const QString log = dir + QStringLiteral("/updater.log");
    app_->setLocalPath(dir);
    qInfo("while alive");
    app_.reset();
    // The handler stays installed but has no application to ask for the path.
    qInfo("after the application");
    QCOMPARE(TestSupport::logMessages(log), QStringList {QStringLiteral("while alive")});
}

QTEST_APPLESS_MAIN(TestLogSink)
#include "tst_logsink.moc"
