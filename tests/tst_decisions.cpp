// The pure decisions: versions, Windows constraints, manifests, URLs, names, log lines.

#include "app/updaterapp.h"
#include "log/logsink.h"
#include "support.h"
#include "update/manifest.h"
#include "update/version.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// The passing manifest with one key set to raw JSON, or dropped for null.
QByteArray with(const char *key, const char *json)
{
    QByteArray text = R"({"md5": "5f30b15f6f340d21437a6bfa06d163da", "os": "windows",
        "compatible_os_version": "7+", "version": "2.2.0", "package": "p.pkg"})";
    const int at = text.indexOf(QByteArray("\"") + key + '"');
    text.remove(at, text.indexOf(',', at) + 1 - at);
    return json ? text.replace("{", QByteArray("{\"") + key + "\": " + json + ",") : text;
}

} // namespace

class Decisions : public QObject {
    Q_OBJECT

private slots:
    void versions_data()
    {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("current");
        QTest::addColumn<int>("expected");
        row("equal", "2.1.1702011951", "2.1.1702011951", 0);
        row("last element larger", "2.1.1702011952", "2.1.1702011951", 1);
        row("numbers, not text", "2.10", "2.9", 1);
        row("first element decides", "3", "2.9.9", 1);
        row("older", "2.1.5", "2.1.1702011951", -1);
        row("leading zero", "2.01", "2.1", 0);
        row("shorter wins", "2.1", "2.1.0", 1);
        row("longer loses", "2.1.0", "2.1", -1);
        row("wildcard in candidate", "2.x", "2.3", 1);
        row("wildcard in current", "2.3", "2.x", -1);
        row("X is no wildcard", "2.X", "2.3", -1);
        row("word counts as 0", "abc", "1", -1);
        row("empty candidate", "", "2.1", -1);
    }
    void versions()
    {
        QFETCH(QString, candidate);
        QFETCH(QString, current);
        QFETCH(int, expected);
        QCOMPARE(compareVersions(candidate, current), expected);
    }

    void osConstraint_data()
    {
        QTest::addColumn<QString>("constraint");
        QTest::addColumn<QString>("allowed"); // generations 0 (Vista) to 5 (after 10)
        QTest::addColumn<QByteArray>("line");
        const char *same = "Checking if current OS is same as Windows-";
        const char *later = "Checking if current OS is more recent or same as Windows-";
        const char *prior = "Checking if current OS is prior or same as Windows-";
        row("any", "any", "012345", QByteArray());
        row("empty", "", "012345", QByteArray());
        row("Any is a name", "Any", "", QByteArray(same) + "any");
        row("7", "7", "1", QByteArray(same) + "7");
        row("7+", "7+", "12345", QByteArray(later) + "7");
        row("8-", "8-", "012", QByteArray(prior) + "8");
        row("8.1", "8.1", "3", QByteArray(same) + "8.1");
        row("10+", "10+", "45", QByteArray(later) + "10");
        row("10-", "10-", "01234", QByteArray(prior) + "10");
        row("blanks, capitals", " 10 ", "4", QByteArray(same) + "10");
        row("unknown name", "XP", "", QByteArray(same) + "xp");
    }
    void osConstraint()
    {
        QFETCH(QString, constraint);
        QFETCH(QString, allowed);
        QFETCH(QByteArray, line);
        QString actual;
        for (int generation = 0; generation <= 5; ++generation)
            if (osConstraintAllows(constraint, generation))
                actual += QString::number(generation);
        QCOMPARE(actual, allowed);
        QCOMPARE(osConstraintLogLine(constraint).toLatin1(), line);
    }

    void manifest_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("generation");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("message");
        const char *noMd5 = "Updates.json does not report MD5 hash for its package. Without "
                            "MD5 hash, we cannot download updates!";
        const char *os = "Target OS for the update is not compatible.";
        const char *old = "The most recent update has already been installed. No updates found.";
        using O = ManifestOutcome;
        row("unreadable", QByteArray(), 4, int(O::Unreadable),
            "Could not open updates.json for reading");
        row("not JSON", QByteArray("windows"), 4, int(O::ParseError),
            "Error parsing updates.json: illegal value");
        row("empty object", QByteArray("{}"), 4, int(O::NoInformation),
            "No update information was found in updates.json");
        row("array", QByteArray("[1]"), 4, int(O::NoInformation),
            "No update information was found in updates.json");
        row("md5 missing", with("md5", nullptr), 4, int(O::NoMd5), noMd5);
        row("md5 a number", with("md5", "12"), 4, int(O::NoMd5), noMd5);
        row("os Windows", with("os", "\"Windows\""), 4, int(O::WrongOs), os);
        row("os missing", with("os", nullptr), 4, int(O::WrongOs), os);
        row("7+ on Vista", with("os", "\"windows\""), 0, int(O::WrongOsVersion),
            "Target OS Version is not compatible.");
        row("no constraint on Vista", with("compatible_os_version", nullptr), 0, int(O::Download),
            "");
        row("same version", with("version", "\"2.1.1702011951\""), 4, int(O::NotNewer), old);
        row("version missing", with("version", nullptr), 4, int(O::NotNewer), old);
        row("newer version", with("version", "\"2.1.1702011952\""), 4, int(O::Download), "");
    }
    void manifest()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, generation);
        QFETCH(int, outcome);
        QFETCH(QString, message);
        const ManifestEvaluation result = evaluateManifest(
            content.isNull() ? nullptr : &content, generation, QStringLiteral("2.1.1702011951"));
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(result.message, message);
        QCOMPARE(result.manifest.isEmpty(), outcome != int(ManifestOutcome::Download));
    }

    void remoteUrl_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("url");
        row("doubled slash", "http://h/root//kiosk/", "updates.json",
            "http://h/root/kiosk/updates.json");
        row("no trailing slash", "http://h/pc", "a.zip", "http://h/pc/a.zip");
        row("file root", "file:///C:/updates/pc/", "u.json", "file:///C:/updates/pc/u.json");
        row("query kept", "https://u:p@h:8443/r//pc/?c=b#t", "p.zip",
            "https://u:p@h:8443/r/pc/p.zip?c=b#t");
        row("slashes in the name", "http://h/pc/", "//a//b.zip", "http://h/pc/a/b.zip");
        row("percent stays literal", "http://h/pc/", "%41 b", "http://h/pc/%2541%20b");
        row("unpaired surrogate", "http://h/pc/", QString(QChar(0xdc00)) + QStringLiteral("//x"),
            "http://h/pc/%ED%B0%80/x");
    }
    void remoteUrl()
    {
        QFETCH(QString, root);
        QFETCH(QString, name);
        QFETCH(QString, url);
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        int argc = 1;
        char arg[] = "tst_decisions", *argv[] = {arg, nullptr};
        UpdaterApp app(argc, argv);
        app.setRemotePath(root);
        QCOMPARE(app.remoteUrl(name).toString(QUrl::FullyEncoded), url);
    }

    void packageName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        row("plain", "mirelle-2.2.0.pkg", true);
        row("subdirectory", "sub/p.pkg", true);
        row("dots in a name", "..p.pkg", true);
        row("parent", "../p.pkg", false);
        row("parent inside", "sub/../../p.pkg", false);
        row("absolute", "/etc/p.pkg", false);
        row("backslash", "..\\p.pkg", false);
        row("drive", "C:p.pkg", false);
    }
    void packageName()
    {
        QFETCH(QString, name);
        QFETCH(bool, safe);
        QCOMPARE(isSafePackageName(name), safe);
    }

    void logLine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("line");
        row("own line", int(QtInfoMsg), "hello", QByteArray("<07-12-2026 01:02:03:004>  hello\n"));
        row("Qt warning", int(QtWarningMsg), "w",
            QByteArray("<07-12-2026 01:02:03:004>  [warn] w\n"));
        row("not Latin-1", int(QtCriticalMsg), "é\u0436",
            QByteArray("<07-12-2026 01:02:03:004>  [critical] \xe9?\n"));
    }
    void logLine()
    {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QByteArray, line);
        const QString stamp = QStringLiteral("07-12-2026 01:02:03:004");
        QCOMPARE(LogSink::formatLine(QtMsgType(type), stamp, message), line);
    }
};

QTEST_APPLESS_MAIN(Decisions)
#include "tst_decisions.moc"
