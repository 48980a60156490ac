// The publish command of updater-publish and the tool as a program: what it
// writes, what it refuses, its exit codes, and the sample repository.
#include "support/testsupport.h"

#include "cli.h"
#include "rules.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <initializer_list>

namespace {

QStringList list(std::initializer_list<const char *> items)
{
    QStringList result;
    for (const char *item : items)
        result << QString::fromUtf8(item);
    return result;
}

int runTool(const QStringList &args, QString *out = nullptr, QString *err = nullptr)
{
    QString outText;
    QString errText;
    QTextStream outStream(&outText);
    QTextStream errStream(&errText);
    const int code = runPublishTool(
        QStringList {QStringLiteral("updater-publish")} + args, outStream, errStream);
    if (out)
        *out = outText;
    if (err)
        *err = errText;
    return code;
}

// More than one copy chunk, and every byte value.
QByteArray packageBytes(int seed)
{
    QByteArray bytes;
    for (int i = 0; i < 150 * 1024; ++i)
        bytes.append(char((i * 31 + seed) & 0xff));
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestPublish : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void writesRepository_data();
    void writesRepository();
    void refusesBadInput_data();
    void refusesBadInput();
    void writeFailureKeepsManifest_data();
    void writeFailureKeepsManifest();
    void keepsEarlierPackages();
    void commandLine_data();
    void commandLine();

private:
    QString fresh(const char *name);

    QTemporaryDir dir_;
    QString package_;
    int serial_ = 0;
};

void TestPublish::initTestCase()
{
    QVERIFY(dir_.isValid());
    TestSupport::isolateTempDir(dir_.filePath(QStringLiteral("tmp")));
    package_ = dir_.filePath(QStringLiteral("in/mirelle-2.2.0.pkg"));
    QVERIFY(TestSupport::writeFile(package_, packageBytes(0)));
}

QString TestPublish::fresh(const char *name)
{
    return dir_.filePath(QStringLiteral("%1-%2").arg(QLatin1String(name)).arg(++serial_));
}

void TestPublish::writesRepository_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("constraint");
    QTest::addColumn<QString>("windows"); // a system the constraint lets through

    QTest::newRow("pc, 7 or later") << list({"--kind", "pc", "--constraint", "7+"}) << "pc"
                                    << "mirelle-2.2.0.pkg"
                                    << "2.2.0"
                                    << "7+"
                                    << "10";
    QTest::newRow("kiosk, no constraint") << list({"--kind", "kiosk"}) << "kiosk"
                                          << "mirelle-2.2.0.pkg"
                                          << "3"
                                          << "any"
                                          << "vista";
    QTest::newRow("mac, renamed, 10 or earlier")
        << list({"--kind", "mac", "--constraint", "10-", "--name", "mirelle-mac.pkg"}) << "mac"
        << "mirelle-mac.pkg"
        << "2.1.1702011952"
        << "10-"
        << "8";
    QTest::newRow("another kind, exact 8.1, wildcard version")
        << list({"--kind", "lab", "--constraint", "8.1"}) << "lab"
        << "mirelle-2.2.0.pkg"
        << "2.x"
        << "8.1"
        << "8.1";
    QTest::newRow("name with spaces")
        << list({"--kind", "pc", "--name", "Mirelle Setup.pkg"}) << "pc"
        << "Mirelle Setup.pkg"
        << "2.2"
        << "any"
        << "7";
}

void TestPublish::writesRepository()
{
    QFETCH(QStringList, args);
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(QString, constraint);
    QFETCH(QString, windows);

    const QString root = fresh("repo");
    QString out;
    QCOMPARE(runTool(QStringList {QStringLiteral("publish"), package_, version,
                         QStringLiteral("--root"), root}
                     + args,
                 &out),
        0);
    const QString kindDir = root + QLatin1Char('/') + kind;
    QCOMPARE(readAll(kindDir + QLatin1Char('/') + name), packageBytes(0));
    // Nothing else: no temporary file is left behind.
    QCOMPARE(entriesOf(kindDir).size(), 2);

    const QByteArray text = readAll(kindDir + QStringLiteral("/updates.json"));
    const QJsonObject manifest = QJsonDocument::fromJson(text).object();
    QCOMPARE(manifest.keys(), list({"compatible_os_version", "md5", "os", "package", "version"}));
    QCOMPARE(manifest.value(QStringLiteral("md5")),
        QJsonValue(QString::fromLatin1(TestSupport::md5Hex(packageBytes(0)))));
    QCOMPARE(manifest.value(QStringLiteral("os")), QJsonValue(QStringLiteral("windows")));
    QCOMPARE(manifest.value(QStringLiteral("version")), QJsonValue(version));
    QCOMPARE(manifest.value(QStringLiteral("compatible_os_version")), QJsonValue(constraint));
    QCOMPARE(manifest.value(QStringLiteral("package")), QJsonValue(name));
    QVERIFY(out.contains(QString::fromLatin1(TestSupport::md5Hex(packageBytes(0)))));

    // What publish writes, check accepts without a single remark.
    QString report;
    QCOMPARE(runTool(list({"check", "--root"})
                     + QStringList {root, QStringLiteral("--kind"), kind,
                         QStringLiteral("--windows"), windows},
                 &report),
        0);
    QVERIFY2(report.contains(QStringLiteral(": digest verified (")), qPrintable(report));
    QVERIFY2(!report.contains(QStringLiteral("warning:")), qPrintable(report));
}

void TestPublish::refusesBadInput_data()
{
    QTest::addColumn<QString>("package"); // "good", "missing" or "directory"
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");

    const QStringList pc = list({"--kind", "pc"});
    auto row = [&](const char *name, const char *package, const char *version,
                   const QStringList &args, const char *error) {
        QTest::newRow(name) << QString::fromLatin1(package) << QString::fromLatin1(version) << args
                            << QString::fromUtf8(error);
    };
    row("missing package", "missing", "2.2.0", pc, "does not exist");
    row("package is a directory", "directory", "2.2.0", pc, "is not a readable file");
    row("the built updater's version", "good", "2.1.1702011951", pc,
        "version 2.1.1702011951 is not newer than 2.1.1702011951");
    row("older version", "good", "2.0", pc, "version 2.0 is not newer");
    row("older by one", "good", "2.1.1702011950", pc, "is not newer");
    row("one more element counts as older", "good", "2.1.1702011951.1", pc, "is not newer");
    row("not newer than a given updater", "good", "2.2.0",
        pc + list({"--current-version", "2.2.0"}), "version 2.2.0 is not newer than 2.2.0");
    row("empty version", "good", "", pc, "the version is empty");
    row("padded version", "good", " 2.2.0", pc, "has surrounding spaces");
    for (const char *constraint : {"Any", " any", "ANY", "11", "xp", "7++", "+7", "7 +"})
        row(qPrintable(QStringLiteral("constraint \"%1\"").arg(QLatin1String(constraint))), "good",
            "2.2.0", pc + list({"--constraint", constraint}), "rejects every Windows");
    row("padded constraint", "good", "2.2.0", pc + list({"--constraint", "7+ "}),
        "has surrounding spaces");
    row("name with a path", "good", "2.2.0", pc + list({"--name", "sub/mirelle.pkg"}),
        "contains a path");
    row("name with a Windows path", "good", "2.2.0", pc + list({"--name", "..\\mirelle.pkg"}),
        "contains a path");
    row("name with a drive", "good", "2.2.0", pc + list({"--name", "C:mirelle.pkg"}),
        "is refused by the updater");
    row("hidden name", "good", "2.2.0", pc + list({"--name", ".mirelle.pkg"}), "is hidden");
    row("the manifest's name", "good", "2.2.0", pc + list({"--name", "updates.json"}),
        "the manifest's own name");
    row("kind with a path", "good", "2.2.0", list({"--kind", "pc/x"}), "not a single directory");
    row("kind ..", "good", "2.2.0", list({"--kind", ".."}), "not a single directory");
    row("empty kind", "good", "2.2.0", list({"--kind", ""}), "the kind is empty");
}

void TestPublish::refusesBadInput()
{
    QFETCH(QString, package);
    QFETCH(QString, version);
    QFETCH(QStringList, args);
    QFETCH(QString, error);

    const QString root = fresh("refused");
    QString path = package_;
    if (package == QLatin1String("missing"))
        path = dir_.filePath(QStringLiteral("in/none.pkg"));
    else if (package == QLatin1String("directory"))
        path = dir_.filePath(QStringLiteral("in"));
    QString err;
    QCOMPARE(runTool(QStringList {QStringLiteral("publish"), path, version,
                         QStringLiteral("--root"), root}
                     + args,
                 nullptr, &err),
        4);
    QVERIFY2(err.startsWith(QStringLiteral("error: ")) && err.contains(error), qPrintable(err));
    QVERIFY2(!QFileInfo::exists(root), "a refused publication wrote something");
}

void TestPublish::writeFailureKeepsManifest_data()
{
    QTest::addColumn<QString>("blocked"); // a directory standing where a file must go
    QTest::addColumn<bool>("packageStored");

    QTest::newRow("package cannot be stored") << "mirelle-2.2.0.pkg" << false;
    QTest::newRow("manifest cannot be stored") << "updates.json" << true;
}

void TestPublish::writeFailureKeepsManifest()
{
    QFETCH(QString, blocked);
    QFETCH(bool, packageStored);

    const QString root = fresh("blocked");
    const QString kindDir = root + QStringLiteral("/pc/");
    const QByteArray previous = "{\"previous\": true}\n";
    if (blocked != QLatin1String("updates.json"))
        QVERIFY(TestSupport::writeFile(kindDir + QStringLiteral("updates.json"), previous));
    QVERIFY(QDir().mkpath(kindDir + blocked + QStringLiteral("/x")));

    QString err;
    QCOMPARE(
        runTool(QStringList {QStringLiteral("publish"), package_, QStringLiteral("2.2.0"),
                    QStringLiteral("--root"), root, QStringLiteral("--kind"), QStringLiteral("pc")},
            nullptr, &err),
        1);
    QVERIFY2(err.contains(blocked), qPrintable(err));
    if (blocked != QLatin1String("updates.json")) // the manifest comes only after the package
        QCOMPARE(readAll(kindDir + QStringLiteral("updates.json")), previous);
    QCOMPARE(readAll(kindDir + QStringLiteral("mirelle-2.2.0.pkg")),
        packageStored ? packageBytes(0) : QByteArray());
    QCOMPARE(entriesOf(kindDir).size(), 2); // no temporary file left behind
}

void TestPublish::keepsEarlierPackages()
{
    const QString root = fresh("upgrade");
    const QString second = dir_.filePath(QStringLiteral("in/mirelle-2.3.0.pkg"));
    QVERIFY(TestSupport::writeFile(second, packageBytes(7)));
    const QStringList where {
        QStringLiteral("--root"), root, QStringLiteral("--kind"), QStringLiteral("kiosk")};
    QCOMPARE(
        runTool(QStringList {QStringLiteral("publish"), package_, QStringLiteral("2.2.0")} + where),
        0);
    QCOMPARE(
        runTool(QStringList {QStringLiteral("publish"), second, QStringLiteral("2.3.0")} + where),
        0);

    // An updater that read the old manifest a moment ago still finds its package.
    const QString kindDir = root + QStringLiteral("/kiosk/");
    QCOMPARE(readAll(kindDir + QStringLiteral("mirelle-2.2.0.pkg")), packageBytes(0));
    QCOMPARE(readAll(kindDir + QStringLiteral("mirelle-2.3.0.pkg")), packageBytes(7));
    QCOMPARE(entriesOf(kindDir).size(), 3);
    const QJsonObject manifest
        = QJsonDocument::fromJson(readAll(kindDir + QStringLiteral("updates.json"))).object();
    QCOMPARE(
        manifest.value(QStringLiteral("package")).toString(), QStringLiteral("mirelle-2.3.0.pkg"));
    QCOMPARE(manifest.value(QStringLiteral("md5")).toString(),
        QString::fromLatin1(TestSupport::md5Hex(packageBytes(7))));
}

void TestPublish::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // expected in standard output
    QTest::addColumn<QString>("err"); // expected in standard error

    const QString help = QStringLiteral("  3  check: the updater would not download it");
    QTest::newRow("--help") << list({"--help"}) << 0 << help << "";
    QTest::newRow("-h") << list({"-h"}) << 0 << help << "";
    QTest::newRow("publish --help") << list({"publish", "--help"}) << 0 << help << "";
    QTest::newRow("check -h") << list({"check", "-h"}) << 0 << help << "";
    QTest::newRow("--version") << list({"--version"}) << 0
                               << QStringLiteral("updater-publish ") + builtUpdaterVersion() << "";
    QTest::newRow("no command") << QStringList() << 2 << ""
                                << "error: no command given";
    QTest::newRow("unknown command") << list({"push"}) << 2 << ""
                                     << "unknown command \"push\"";
    QTest::newRow("unknown option") << list({"check", "--force", "x"}) << 2 << ""
                                    << "force";
    QTest::newRow("option without value") << list({"publish", "p", "2.2", "--kind"}) << 2 << ""
                                          << "kind";
    QTest::newRow("publish without version")
        << list({"publish", "p", "--root", "r", "--kind", "pc"}) << 2 << ""
        << "PACKAGE and VERSION";
    QTest::newRow("publish without kind") << list({"publish", "p", "2.2", "--root", "r"}) << 2 << ""
                                          << "needs --root and --kind";
    QTest::newRow("check of nothing") << list({"check"}) << 2 << ""
                                      << "either MANIFEST or --root";
    QTest::newRow("check of two things") << list({"check", "m.json", "--root", "r"}) << 2 << ""
                                         << "either MANIFEST or --root";
    QTest::newRow("unknown Windows") << list({"check", "m.json", "--windows", "xp"}) << 2 << ""
                                     << "unknown Windows version \"xp\"";
}

void TestPublish::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QString outText;
    QString errText;
    QCOMPARE(runTool(args, &outText, &errText), exitCode);
    QVERIFY2(outText.contains(out), qPrintable(outText));
    QVERIFY2(errText.contains(err), qPrintable(errText));
    QCOMPARE(outText.isEmpty(), out.isEmpty());
    QCOMPARE(errText.isEmpty(), err.isEmpty());
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
