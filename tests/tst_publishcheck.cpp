// The check command of updater-publish: what it predicts an updater does
// with a manifest, and which publishing mistakes it reports.
#include "support/testsupport.h"

#include "check.h"
#include "cli.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray package = "Mirelle package body\n";
const QString versionLine = QStringLiteral("Checking if version 2.2.0 is more recent than %1");
const QString atLeast7
    = QStringLiteral("Checking if current OS is more recent or same as Windows-7");
const QString notNewer
    = QStringLiteral("The most recent update has already been installed. No updates found.");
const QString wrongOs = QStringLiteral("Target OS for the update is not compatible.");
const QString wrongOsVersion = QStringLiteral("Target OS Version is not compatible.");

const char *const good = R"({"md5":"@MD5@","os":"windows","compatible_os_version":"7+",
    "version":"2.2.0","package":"mirelle.pkg"})";

// The good manifest with one piece of text replaced, then @MD5@ standing
// for the package's real digest.
QByteArray manifest(const char *from = nullptr, const QByteArray &to = QByteArray())
{
    QByteArray text(good);
    if (from)
        text.replace(from, to);
    return text.replace("@MD5@", TestSupport::md5Hex(package));
}

int runTool(const QStringList &args, QString *out)
{
    QString err;
    QTextStream outStream(out);
    QTextStream errStream(&err);
    return runPublishTool(
        QStringList {QStringLiteral("updater-publish")} + args, outStream, errStream);
}

QStringList problemLines(const QString &text)
{
    QStringList found;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("error: "))
            || line.startsWith(QLatin1String("warning: ")))
            found << line;
    }
    return found;
}

QStringList linesStartingWith(const QString &text, const QString &prefix)
{
    QStringList found;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            found << line.mid(prefix.size());
    }
    return found;
}

} // namespace

class TestPublishCheck : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void verdicts_data();
    void verdicts();
    void reportsPackageNextToManifest_data();
    void reportsPackageNextToManifest();

private:
    QTemporaryDir dir_;
    int row_ = 0;
};

void TestPublishCheck::initTestCase()
{
    QVERIFY(dir_.isValid());
    TestSupport::isolateTempDir(dir_.filePath(QStringLiteral("tmp")));
}

void TestPublishCheck::verdicts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("windows");
    QTest::addColumn<QString>("current");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("problem"); // "error: ..." or "warning: ..." expected in the report

    const QString built = QStringLiteral("2.1.1702011951");
    const QStringList passes {atLeast7, versionLine.arg(built)};
    auto row = [&](const char *name, const QByteArray &text, const char *windows, int exitCode,
                   const QStringList &log, const char *problem = "") {
        QTest::newRow(name) << text << QString::fromLatin1(windows) << built << exitCode << log
                            << QString::fromLatin1(problem);
    };
    row("valid on 10", manifest(), "10", 0, passes);
    row("valid on 7", manifest(), "7", 0, passes);
    row("valid on an unknown later system", manifest(), "other", 0, passes);
    row("valid on 11, reported as 10", manifest(), "11", 0, passes);
    row("valid, not on vista", manifest(), "vista", 3, {atLeast7, wrongOsVersion});
    row("exact 8.1 on 8.1", manifest("\"7+\"", "\"8.1\""), "8.1", 0,
        {QStringLiteral("Checking if current OS is same as Windows-8.1"), versionLine.arg(built)});
    row("exact 8.1 on 8", manifest("\"7+\"", "\"8.1\""), "8", 3,
        {QStringLiteral("Checking if current OS is same as Windows-8.1"), wrongOsVersion});
    row("10- on a later system", manifest("\"7+\"", "\"10-\""), "other", 3,
        {QStringLiteral("Checking if current OS is prior or same as Windows-10"), wrongOsVersion});
    row("same version as the updater", manifest("2.2.0", "2.1.1702011951"), "10", 3,
        {atLeast7, QStringLiteral("Checking if version %1 is more recent than %1").arg(built),
            notNewer});
    QTest::newRow("older than a given updater version")
        << manifest() << QStringLiteral("10") << QStringLiteral("2.3") << 3
        << QStringList {atLeast7, versionLine.arg(QStringLiteral("2.3")), notNewer} << QString();

    row("upper-case md5", manifest("@MD5@", TestSupport::md5Hex(package).toUpper()), "10", 4,
        passes, "error: md5 \"");
    row("padded md5", manifest("\"@MD5@\"", "\" @MD5@\""), "10", 4, passes, "error: md5 \" ");
    row("md5 missing", manifest("\"md5\":\"@MD5@\",", ""), "10", 4,
        {QStringLiteral("Updates.json does not report MD5 hash for its package. Without MD5 "
                        "hash, we cannot download updates!")},
        "error: md5 is missing");
    row("Windows capitalised", manifest("\"windows\"", "\"Windows\""), "10", 4, {wrongOs},
        "error: os \"Windows\": the updater accepts only \"windows\", in lower case");
    row("os missing", manifest("\"os\":\"windows\",", ""), "10", 4, {wrongOs},
        "error: os is missing");
    row("version as a JSON number", manifest("\"2.2.0\"", "2.2"), "10", 4,
        {atLeast7, QStringLiteral("Checking if version  is more recent than %1").arg(built),
            notNewer},
        "error: version is a JSON number (2.2)");
    row("Any", manifest("\"7+\"", "\"Any\""), "10", 4,
        {QStringLiteral("Checking if current OS is same as Windows-any"), wrongOsVersion},
        "error: constraint \"Any\" rejects every Windows");
    row("padded any", manifest("\"7+\"", "\" any\""), "10", 4,
        {QStringLiteral("Checking if current OS is same as Windows-any"), wrongOsVersion},
        "error: constraint \" any\" rejects every Windows");
    row("padded 7+ still works", manifest("\"7+\"", "\" 7+ \""), "10", 0, passes,
        "warning: constraint \" 7+ \" has surrounding spaces");
    row("constraint as a number", manifest("\"7+\"", "7"), "10", 4, {versionLine.arg(built)},
        "error: compatible_os_version is a JSON number (7)");
    row("package with a path", manifest("mirelle.pkg", "sub/mirelle.pkg"), "10", 4, passes,
        "error: package name \"sub/mirelle.pkg\" contains a path");
    row("package with a drive", manifest("mirelle.pkg", "C:mirelle.pkg"), "10", 4, passes,
        "error: package name \"C:mirelle.pkg\" is refused by the updater");
    row("hidden package", manifest("mirelle.pkg", ".mirelle.pkg"), "10", 4, passes,
        "error: package name \".mirelle.pkg\" is hidden");
    row("no package", manifest(",\"package\":\"mirelle.pkg\"", ""), "10", 4, passes,
        "error: package is missing: the updater accepts the manifest but downloads nothing");
    row("mistyped key beside the right one", manifest("{", "{\"Version\":\"9\","), "10", 0, passes,
        "warning: key \"Version\" is ignored by the updater: did you mean \"version\"?");
    row("not JSON", "{\"md5\":", "10", 4,
        {QStringLiteral("Error parsing updates.json: unterminated object")});
    row("an array", "[]", "10", 4,
        {QStringLiteral("No update information was found in updates.json")});
    row("no manifest file", QByteArray(), "10", 4,
        {QStringLiteral("Could not open updates.json for reading")});
}

void TestPublishCheck::verdicts()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, windows);
    QFETCH(QString, current);
    QFETCH(int, exitCode);
    QFETCH(QStringList, log);
    QFETCH(QString, problem);

    const QString repo = dir_.filePath(QStringLiteral("verdict%1").arg(++row_));
    const QString path = repo + QStringLiteral("/updates.json");
    QVERIFY(text.isNull() || TestSupport::writeFile(path, text));
    QVERIFY(TestSupport::writeFile(repo + QStringLiteral("/mirelle.pkg"), package));

    QString out;
    const int code = runTool({QStringLiteral("check"), path, QStringLiteral("--windows"), windows,
                                 QStringLiteral("--current-version"), current},
        &out);
    QCOMPARE(code, exitCode);
    QCOMPARE(linesStartingWith(out, QStringLiteral("  log: ")), log);
    const QStringList problems = problemLines(out);
    if (problem.isEmpty())
        QCOMPARE(problems, QStringList());
    else
        QVERIFY2(problems.size() == 1 && problems.first().startsWith(problem),
            qPrintable(problems.join(QLatin1Char('\n'))));
    const QString result = exitCode == 0 ? QStringLiteral("would download mirelle.pkg (exit 0)")
        : exitCode == 3                  ? QStringLiteral("would not download (exit 3)")
                                         : QStringLiteral("invalid (exit 4)");
    QCOMPARE(linesStartingWith(out, QStringLiteral("Result: ")), QStringList {result});
}

void TestPublishCheck::reportsPackageNextToManifest_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no package file
    QTest::addColumn<int>("digest");
    QTest::addColumn<int>("verdict");

    QTest::newRow("same bytes") << package << int(DigestState::Verified)
                                << int(Verdict::WouldDownload);
    QTest::newRow("one byte more")
        << package + "!" << int(DigestState::Mismatch) << int(Verdict::Invalid);
    QTest::newRow("truncated") << package.left(5) << int(DigestState::Mismatch)
                               << int(Verdict::Invalid);
    QTest::newRow("empty file") << QByteArray("") << int(DigestState::Mismatch)
                                << int(Verdict::Invalid);
    QTest::newRow("not uploaded") << QByteArray() << int(DigestState::Missing)
                                  << int(Verdict::WouldDownload);
}

void TestPublishCheck::reportsPackageNextToManifest()
{
    QFETCH(QByteArray, content);
    QFETCH(int, digest);
    QFETCH(int, verdict);

    const QString repo = dir_.filePath(QStringLiteral("digest%1").arg(++row_));
    QVERIFY(TestSupport::writeFile(repo + QStringLiteral("/updates.json"), manifest()));
    QDir().mkpath(repo);
    if (!content.isNull())
        QVERIFY(TestSupport::writeFile(repo + QStringLiteral("/mirelle.pkg"), content));

    CheckRequest request;
    request.manifestPath = repo + QStringLiteral("/updates.json");
    request.generation = 4;
    request.currentVersion = QStringLiteral("2.1.1702011951");
    const CheckReport report = checkManifest(request);
    QCOMPARE(int(report.digest), digest);
    QCOMPARE(int(report.verdict), verdict);
    QCOMPARE(report.outcome, ManifestOutcome::Download);
    QCOMPARE(report.packagePath, QDir(repo).absoluteFilePath(QStringLiteral("mirelle.pkg")));
    if (!content.isNull())
        QCOMPARE(report.packageMd5, QString::fromLatin1(TestSupport::md5Hex(content)));
    // A missing package is only a warning: it may not be uploaded yet.
    QCOMPARE(report.problems.size(), digest == int(DigestState::Verified) ? 0 : 1);
    if (!report.problems.isEmpty())
        QCOMPARE(report.problems.first().fatal, digest == int(DigestState::Mismatch));
}

QTEST_GUILESS_MAIN(TestPublishCheck)
#include "tst_publishcheck.moc"
