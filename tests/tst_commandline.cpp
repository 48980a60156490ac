#include "app/updaterapp.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

QStringList captured;

void capture(QtMsgType, const QMessageLogContext &, const QString &text)
{
    captured.append(text);
}

QString exact(const QString &text)
{
    return QRegularExpression::escape(text);
}

QString exact(const char *text)
{
    return exact(QString::fromUtf8(text));
}

// The argument vector of one row, alive for as long as its application.
class Argv {
public:
    explicit Argv(const QStringList &args)
    {
        storage_.push_back("tst_commandline");
        for (const QString &arg : args)
            storage_.push_back(arg.toLocal8Bit());
        for (QByteArray &arg : storage_)
            pointers_.push_back(arg.data());
        pointers_.push_back(nullptr);
        argc_ = int(storage_.size());
    }
    int &argc() { return argc_; }
    char **argv() { return pointers_.data(); }

private:
    std::vector<QByteArray> storage_;
    std::vector<char *> pointers_;
    int argc_ = 0;
};

// Every row works below a directory of its own.
struct RowDirs {
    QString base;
    QString local; // exists, empty
    QString remote; // file URL of an existing, empty directory
    QString missing; // does not exist
};

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void run_data();
    void run();

private:
    RowDirs newRowDirs();
    void addFullRun(const char *name, const QStringList &extraArgs, const char *kind,
        bool trailingSlash = false);

    QTemporaryDir root_;
    int rows_ = 0;
};

void TestCommandLine::initTestCase()
{
    QVERIFY(root_.isValid());
}

RowDirs TestCommandLine::newRowDirs()
{
    RowDirs dirs;
    dirs.base = root_.filePath(QString::number(++rows_));
    dirs.local = dirs.base + QStringLiteral("/local");
    dirs.missing = dirs.base + QStringLiteral("/missing");
    const QString remoteDir = dirs.base + QStringLiteral("/remote");
    QDir().mkpath(dirs.local);
    QDir().mkpath(remoteDir);
    dirs.remote = QUrl::fromLocalFile(remoteDir).toString();
    return dirs;
}

// Columns: arguments, primary, exit code, patterns of the messages sent to
// the default output, patterns of the log lines (empty: no log is written).
void TestCommandLine::run_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("primary");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("output");
    QTest::addColumn<QStringList>("logged");

    const QString parse = QStringLiteral("Cannot parse arguments: ");
    const QStringList none;
    for (bool primary : {true, false}) {
        const QByteArray role = primary ? " (primary)" : " (non-primary)";
        RowDirs d = newRowDirs();
        QTest::newRow(("unknown option" + role).constData())
            << d.base << QStringList {QStringLiteral("--bogus")} << primary << 1
            << QStringList {exact(parse) + QStringLiteral(".*bogus.*")} << none;
        d = newRowDirs();
        QTest::newRow(("value option without value" + role).constData())
            << d.base << QStringList {QStringLiteral("--localPath")} << primary << 1
            << QStringList {exact(parse) + QStringLiteral(".*localPath.*")} << none;
        d = newRowDirs();
        QTest::newRow(("remotePath without value after a good localPath" + role).constData())
            << d.base
            << QStringList {QStringLiteral("--localPath"), d.local, QStringLiteral("--remotePath")}
            << primary << 1 << QStringList {exact(parse) + QStringLiteral(".*remotePath.*")}
            << none;
    }

    RowDirs d = newRowDirs();
    QTest::newRow("help (non-primary)")
        << d.base << QStringList {QStringLiteral("--help")} << false << 0 << none << none;
    d = newRowDirs();
    QTest::newRow("version (non-primary)")
        << d.base << QStringList {QStringLiteral("--version")} << false << 0 << none << none;
    d = newRowDirs();
    QTest::newRow("complete arguments (non-primary)")
        << d.base
        << QStringList {QStringLiteral("--localPath"), d.local, QStringLiteral("--remotePath"),
               d.remote}
        << false << 0 << none << none;
    d = newRowDirs();
    QTest::newRow("no arguments (non-primary)")
        << d.base << QStringList() << false << 0 << none << none;
    d = newRowDirs();
    QTest::newRow("shutdown (primary)")
        << d.base
        << QStringList {QStringLiteral("--shutdown"), QStringLiteral("--localPath"), d.local,
               QStringLiteral("--remotePath"), d.remote}
        << true << 0 << none << none;

    const QStringList noLocal {exact("Local path for updater not set.")};
    d = newRowDirs();
    QTest::newRow("no arguments") << d.base << QStringList() << true << 2 << noLocal << none;
    d = newRowDirs();
    QTest::newRow("remotePath only")
        << d.base << QStringList {QStringLiteral("--remotePath"), d.remote} << true << 2 << noLocal
        << none;
    d = newRowDirs();
    QTest::newRow("localPath only")
        << d.base << QStringList {QStringLiteral("--localPath"), d.local} << true << 2
        << QStringList {exact("Remote path for updater not set.")} << none;
    d = newRowDirs();
    QTest::newRow("local path missing")
        << d.base
        << QStringList {QStringLiteral("--localPath"), d.missing, QStringLiteral("--remotePath"),
               d.remote}
        << true << 0
        << QStringList {exact(QStringLiteral("Local path (%1) doesnt exist.").arg(d.missing))}
        << none;
    d = newRowDirs();
    QTest::newRow("relative local path missing")
        << d.base
        << QStringList {QStringLiteral("--localPath"), QStringLiteral("no-such-dir/./x"),
               QStringLiteral("--remotePath"), d.remote}
        << true << 0 << QStringList {exact("Local path (no-such-dir/./x) doesnt exist.")} << none;

    // From here on the messages go to the log file.
    const char *badRemotes[][2] = {{"http://exa mple.com", "Remote path %1 is not valid"},
        {"http://[::1", "Remote path %1 is not valid"},
        {"http://host:99999/", "Remote path %1 is not valid"},
        {"ftp://example.com/updates",
            "Unsupported protocol used for remote path ftp. "
            "Supported protocols are http,https,file"},
        {"c:/updates",
            "Unsupported protocol used for remote path c. "
            "Supported protocols are http,https,file"},
        {"relative/updates",
            "Unsupported protocol used for remote path . "
            "Supported protocols are http,https,file"}};
    for (const auto &bad : badRemotes) {
        d = newRowDirs();
        const QString remote = QString::fromUtf8(bad[0]);
        QString message = QString::fromUtf8(bad[1]);
        if (message.contains(QLatin1String("%1")))
            message = message.arg(remote);
        QTest::newRow(bad[0]) << d.base
                              << QStringList {QStringLiteral("--localPath"), d.local,
                                     QStringLiteral("--remotePath"), remote}
                              << true << 0 << none << QStringList {exact(message)};
    }

    addFullRun("kiosk", {QStringLiteral("--appKind"), QStringLiteral("kiosk")}, "kiosk");
    addFullRun("kind not validated", {QStringLiteral("--appKind=mac")}, "mac");
    addFullRun("no kind", {}, "pc");
    addFullRun("remote path ending in a slash", {}, "pc", true);
}

// A primary run that gets to the update check against an empty file:// root.
void TestCommandLine::addFullRun(
    const char *name, const QStringList &extraArgs, const char *kind, bool trailingSlash)
{
    const RowDirs d = newRowDirs();
    const QString remote = d.remote + (trailingSlash ? QStringLiteral("/") : QString());
    const QString updates = QDir(d.local).absolutePath() + QStringLiteral("/updates");
    const QString root = remote + QStringLiteral("/%1/").arg(QLatin1String(kind));
    const QString manifestUrl
        = d.remote + QStringLiteral("/%1/updates.json").arg(QLatin1String(kind));
    QStringList logged {QStringLiteral("={56}"),
        QStringLiteral("\\w{3} \\w{3} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4}"),
        exact("Corvane Software Updater Version 2.1.1702011951."),
        exact(QStringLiteral("  Using local path at ") + updates),
        exact(QStringLiteral("  Using remote path at ") + root),
        exact(QStringLiteral("Checking for downloaded updates in %1/available").arg(updates)),
        exact("No update was already downloaded."),
        exact(QStringLiteral("Downloading %1 to %2/updates.json").arg(manifestUrl, updates)),
        exact("    ERROR: Cloud not store downloaded file."),
        exact("Could not open updates.json for reading")};
    QTest::newRow(name) << d.base
                        << QStringList {QStringLiteral("--localPath=") + d.local,
                               QStringLiteral("--remotePath"), remote}
            + extraArgs << true
                        << 0 << QStringList() << logged;
}

void TestCommandLine::run()
{
    QFETCH(QString, base);
    QFETCH(QStringList, args);
    QFETCH(bool, primary);
    QFETCH(int, code);
    QFETCH(QStringList, output);
    QFETCH(QStringList, logged);

    TestSupport::isolateTempDir(base + QStringLiteral("/tmp"));
    // Holding the instance lock makes the application under test non-primary.
    QLockFile otherInstance(
        QDir(QDir::tempPath()).absoluteFilePath(QStringLiteral("OrbApplicationUpdater-lock")));
    if (!primary)
        QVERIFY(otherInstance.tryLock(0));

    Argv argv(args);
    captured.clear();
    const QtMessageHandler testHandler = qInstallMessageHandler(capture);
    int result = -1;
    {
        UpdaterApp app(argv.argc(), argv.argv());
        result = app.run();
    }
    qInstallMessageHandler(testHandler);

    QCOMPARE(result, code);
    QCOMPARE(captured.size(), output.size());
    for (int i = 0; i < output.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(output[i]));
        QVERIFY2(pattern.match(captured[i]).hasMatch(),
            qPrintable(captured[i] + QStringLiteral(" does not match ") + output[i]));
    }

    const QString updates = base + QStringLiteral("/local/updates");
    if (logged.isEmpty()) {
        // Stopped before the local tree was touched.
        QVERIFY(!QFileInfo::exists(updates));
        return;
    }
    QVERIFY(QFileInfo(updates + QStringLiteral("/available")).isDir());
    QVERIFY(QFileInfo(updates + QStringLiteral("/cache")).isDir());
    const QStringList messages = TestSupport::logMessages(updates + QStringLiteral("/updater.log"));
    QCOMPARE(messages.size(), logged.size());
    for (int i = 0; i < logged.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(logged[i]));
        QVERIFY2(pattern.match(messages[i]).hasMatch(),
            qPrintable(messages[i] + QStringLiteral(" does not match ") + logged[i]));
    }
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
