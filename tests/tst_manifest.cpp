#include "update/manifest.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QtTest>

Q_DECLARE_METATYPE(ManifestOutcome)

namespace {

QStringList captured;

void capture(QtMsgType, const QMessageLogContext &, const QString &text)
{
    captured.append(text);
}

const QString app = QStringLiteral("2.1.1702011951");
const QString md5Message = QStringLiteral(
    "Updates.json does not report MD5 hash for its package. Without MD5 hash, we cannot "
    "download updates!");
const QString osMessage = QStringLiteral("Target OS for the update is not compatible.");
const QString osVersionMessage = QStringLiteral("Target OS Version is not compatible.");
const QString notNewerMessage
    = QStringLiteral("The most recent update has already been installed. No updates found.");
const QString noInformation = QStringLiteral("No update information was found in updates.json");

QString versionLine(const QString &candidate)
{
    return QStringLiteral("Checking if version %1 is more recent than %2").arg(candidate, app);
}

QString atLeastLine(const char *name)
{
    return QStringLiteral("Checking if current OS is more recent or same as Windows-%1")
        .arg(QLatin1String(name));
}

QString sameLine(const char *name)
{
    return QStringLiteral("Checking if current OS is same as Windows-%1").arg(QLatin1String(name));
}

// The parser's own text for a document it rejects.
QString parseMessage(const QByteArray &content)
{
    QJsonParseError error;
    QJsonDocument::fromJson(content, &error);
    if (error.error == QJsonParseError::NoError)
        return QStringLiteral("(the parser accepts this document)");
    return QStringLiteral("Error parsing updates.json: ") + error.errorString();
}

// A manifest that passes every test, with one key replaced or removed.
QByteArray manifestWith(const char *key, const char *json)
{
    QJsonObject object {{QStringLiteral("md5"), QStringLiteral("0123456789abcdef0123456789abcdef")},
        {QStringLiteral("os"), QStringLiteral("windows")},
        {QStringLiteral("compatible_os_version"), QStringLiteral("7+")},
        {QStringLiteral("version"), QStringLiteral("2.2.0")},
        {QStringLiteral("package"), QStringLiteral("update-2.2.0.pkg")}};
    const QString name = QLatin1String(key);
    if (json) {
        const QByteArray wrapped = QByteArray("{\"v\": ") + json + '}';
        object.insert(name, QJsonDocument::fromJson(wrapped).object().value(QStringLiteral("v")));
    } else {
        object.remove(name);
    }
    return QJsonDocument(object).toJson();
}

const QByteArray passing = manifestWith("package", "\"update-2.2.0.pkg\"");

void row(const char *name, const QByteArray &content, ManifestOutcome outcome,
    const QString &message, const QStringList &logged, int generation = 4)
{
    QTest::newRow(name) << true << content << generation << outcome << message << logged;
}

} // namespace

class TestManifest : public QObject {
    Q_OBJECT

private slots:
    void evaluate_data();
    void evaluate();
    void packageName_data();
    void packageName();
};

void TestManifest::evaluate_data()
{
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("generation");
    QTest::addColumn<ManifestOutcome>("outcome");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("logged");

    using O = ManifestOutcome;
    const QString v220 = versionLine(QStringLiteral("2.2.0"));
    const QString s7 = atLeastLine("7");

    QTest::newRow("unreadable") << false << QByteArray() << 4 << O::Unreadable
                                << QStringLiteral("Could not open updates.json for reading")
                                << QStringList();
    row("zero-byte file", QByteArray(""), O::ParseError, parseMessage(""), {});
    row("not JSON", "windows 2.2.0", O::ParseError, parseMessage("windows 2.2.0"), {});
    row("cut short", passing.left(40), O::ParseError, parseMessage(passing.left(40)), {});
    row("garbage after the object", "{} x", O::ParseError, parseMessage("{} x"), {});
    row("array", "[1, 2]", O::NoInformation, noInformation, {});
    row("array holding a good manifest", "[" + passing + "]", O::NoInformation, noInformation, {});
    row("empty object", "{}", O::NoInformation, noInformation, {});
    row("other keys only", R"({"name": "x", "MD5": "abc"})", O::NoMd5, md5Message, {});
    row("md5 missing", manifestWith("md5", nullptr), O::NoMd5, md5Message, {});
    row("md5 a number", manifestWith("md5", "12345"), O::NoMd5, md5Message, {});
    row("md5 empty", manifestWith("md5", "\"\""), O::NoMd5, md5Message, {});
    row("md5 null", manifestWith("md5", "null"), O::NoMd5, md5Message, {});
    row("md5 and os missing", R"({"version": "9.0", "package": "p.zip"})", O::NoMd5, md5Message,
        {});
    row("os Windows", manifestWith("os", "\"Windows\""), O::WrongOs, osMessage, {});
    row("os missing", manifestWith("os", nullptr), O::WrongOs, osMessage, {});
    row("os with a blank", manifestWith("os", "\" windows\""), O::WrongOs, osMessage, {});
    row("os in an array", manifestWith("os", "[\"windows\"]"), O::WrongOs, osMessage, {});
    row("os linux", manifestWith("os", "\"linux\""), O::WrongOs, osMessage, {});
    row("constraint Any", manifestWith("compatible_os_version", "\"Any\""), O::WrongOsVersion,
        osVersionMessage, {sameLine("any")});
    row("constraint ANY", manifestWith("compatible_os_version", "\"ANY\""), O::WrongOsVersion,
        osVersionMessage, {sameLine("any")});
    row("constraint 10+ on 8.1", manifestWith("compatible_os_version", "\"10+\""),
        O::WrongOsVersion, osVersionMessage, {atLeastLine("10")}, 3);
    row("constraint 10+ on 10", manifestWith("compatible_os_version", "\"10+\""), O::Download,
        QString(), {atLeastLine("10"), v220}, 4);
    row("constraint 7+ on Vista", passing, O::WrongOsVersion, osVersionMessage, {s7}, 0);
    row("constraint missing", manifestWith("compatible_os_version", nullptr), O::Download,
        QString(), {v220}, 0);
    row("constraint empty", manifestWith("compatible_os_version", "\"\""), O::Download, QString(),
        {v220}, 0);
    row("constraint any", manifestWith("compatible_os_version", "\"any\""), O::Download, QString(),
        {v220}, 0);
    row("constraint a number", manifestWith("compatible_os_version", "7"), O::Download, QString(),
        {v220}, 0);
    row("version equal", manifestWith("version", "\"2.1.1702011951\""), O::NotNewer,
        notNewerMessage, {s7, versionLine(app)});
    row("version missing", manifestWith("version", nullptr), O::NotNewer, notNewerMessage,
        {s7, versionLine(QString())});
    row("version a number", manifestWith("version", "2.2"), O::NotNewer, notNewerMessage,
        {s7, versionLine(QString())});
    row("version older", manifestWith("version", "\"2.1.5\""), O::NotNewer, notNewerMessage,
        {s7, versionLine(QStringLiteral("2.1.5"))});
    row("version shorter", manifestWith("version", "\"2.1\""), O::Download, QString(),
        {s7, versionLine(QStringLiteral("2.1"))});
    row("passing manifest", passing, O::Download, QString(), {s7, v220});
    row("package missing", manifestWith("package", nullptr), O::Download, QString(), {s7, v220});
    row("package empty", manifestWith("package", "\"\""), O::Download, QString(), {s7, v220});
    row("md5 form not examined", manifestWith("md5", "\"ZZ\""), O::Download, QString(), {s7, v220});
}

void TestManifest::evaluate()
{
    QFETCH(bool, readable);
    QFETCH(QByteArray, content);
    QFETCH(int, generation);
    QFETCH(ManifestOutcome, outcome);
    QFETCH(QString, message);
    QFETCH(QStringList, logged);

    captured.clear();
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    const ManifestEvaluation evaluation
        = evaluateManifest(readable ? &content : nullptr, generation, app);
    qInstallMessageHandler(previous);

    QCOMPARE(evaluation.outcome, outcome);
    QCOMPARE(evaluation.message, message);
    // The checks that ran, in order; a failing step stops the later ones.
    QCOMPARE(captured, logged);
    if (outcome == ManifestOutcome::Download) {
        QVERIFY(evaluation.message.isEmpty());
        QCOMPARE(evaluation.manifest, QJsonDocument::fromJson(content).object());
    }
}

void TestManifest::packageName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain") << "update-2.2.0.pkg" << true;
    QTest::newRow("in a subdirectory") << "sub/pkg.zip" << true;
    QTest::newRow("dots inside a name") << "..pkg" << true;
    QTest::newRow("double dot within") << "a..b/c" << true;
    QTest::newRow("parent") << "../x" << false;
    QTest::newRow("parent in the middle") << "a/../x" << false;
    QTest::newRow("parent at the end") << "a/.." << false;
    QTest::newRow("parent alone") << ".." << false;
    QTest::newRow("absolute") << "/etc/x" << false;
    QTest::newRow("backslash parent") << "..\\x" << false;
    QTest::newRow("drive relative") << "C:x" << false;
    QTest::newRow("drive absolute") << "C:/x" << false;
    QTest::newRow("backslash") << "a\\b" << false;
}

void TestManifest::packageName()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);

    QCOMPARE(isSafePackageName(name), safe);
}

QTEST_APPLESS_MAIN(TestManifest)
#include "tst_manifest.moc"
