// The pure decisions, one table: which function, its inputs, what it must give.

#include "app/commandline.h"
#include "app/updaterapp.h"
#include "log/logsink.h"
#include "support.h"
#include "transfer/downloadjob.h"
#include "trust/filetrust.h"
#include "update/manifest.h"
#include "update/version.h"

#include <QJsonDocument>
#include <QTemporaryDir>

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

// Which generations of 0 (Vista) to 5 (after 10) a constraint allows, and its line.
QString allowed(const QString &constraint)
{
    QString generations;
    for (int generation = 0; generation <= 5; ++generation)
        if (osConstraintAllows(constraint, generation))
            generations += QString::number(generation);
    return generations + QLatin1Char(' ') + osConstraintLogLine(constraint);
}

QString logged;

QString progressLine(qint64 received, qint64 total)
{
    QTemporaryDir staging;
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &line) { logged = line; });
    DownloadJob(staging.path(), QString(), Expectation()).logProgress(received, total);
    qInstallMessageHandler(nullptr);
    return logged;
}

// The verdict on "UID MODE" (octal) or an SDDL text, as "trust reason".
QString trust(const QByteArray &facts, Scope scope)
{
    const QList<QByteArray> unix = facts.split(' ');
    const TrustVerdict verdict = unix.size() == 2
        ? unixTrust(unix[0].toUInt(), unix[1].toUInt(nullptr, 8), 1000, scope)
        : windowsTrust(QString::fromLatin1(facts), "S-1-5-21-9-1001"_s, scope);
    return "%1 %2"_s.arg(int(verdict.trust)).arg(verdict.reason());
}

QString evaluated(const QByteArray &content, int generation)
{
    const ManifestEvaluation result
        = evaluateManifest(content.isNull() ? nullptr : &content, generation, "2.1.1702011951"_s);
    return "%1 %2"_s.arg(int(result.outcome)).arg(result.message);
}

void decision(const char *name, const QByteArray &function, const QByteArray &a,
    const QByteArray &b, const QByteArray &expected)
{
    QTest::newRow(name) << function << a << b << expected;
}

} // namespace

class Decisions : public QObject {
    Q_OBJECT

private slots:
    void decide_data()
    {
        QTest::addColumn<QByteArray>("function");
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray app = "2.1.1702011951", none;
        const char *noMd5 = "3 Updates.json does not report MD5 hash for its package. Without MD5 "
                            "hash, we cannot download updates!";
        const char *os = "4 Target OS for the update is not compatible.";
        const char *old = "6 The most recent update has already been installed. No updates found.";
        const QByteArray same = "Checking if current OS is same as Windows-";
        const QByteArray stamp = "<07-12-2026 01:02:03:004>  ";
#ifdef Q_OS_WIN
        const char *UNC = "0 file://server/share/m";
#else
        const char *UNC = "2 file://server/share/m"; // no shares elsewhere
#endif
        const QByteArray prior = "Checking if current OS is prior or same as Windows-";
        const QByteArray later = "Checking if current OS is more recent or same as Windows-";
        decision("equal", "version", app, app, "0");
        decision("last element larger", "version", "2.1.1702011952", app, "1");
        decision("numbers, not text", "version", "2.10", "2.9", "1");
        decision("shorter wins", "version", "2.1", "2.1.0", "1");
        decision("wildcard in candidate", "version", "2.x", "2.3", "1");
        decision("wildcard in current", "version", "2.3", "2.x", "-1");
        decision("X is no wildcard", "version", "2.X", "2.3", "-1");
        decision("any", "os", "any", none, "012345 ");
        decision("no constraint", "os", "", none, "012345 ");
        decision("Any is a name", "os", "Any", none, " " + same + "any");
        decision("7+", "os", "7+", none, "12345 " + later + "7");
        decision("8-", "os", "8-", none, "012 " + prior + "8");
        decision("8.1", "os", "8.1", none, "3 " + same + "8.1");
        decision("10+", "os", "10+", none, "45 " + later + "10");
        decision("blanks, capitals", "os", " 10 ", none, "4 " + same + "10");
        decision("unknown name", "os", "XP", none, " " + same + "xp");
        decision("unreadable", "manifest", none, "4", "0 Could not open updates.json for reading");
        decision(
            "not JSON", "manifest", "windows", "4", "1 Error parsing updates.json: illegal value");
        decision("empty object", "manifest", "{}", "4",
            "2 No update information was found in updates.json");
        decision("md5 missing", "manifest", with("md5", nullptr), "4", noMd5);
        decision("os Windows", "manifest", with("os", "\"Windows\""), "4", os);
        decision("7+ on Vista", "manifest", with("os", "\"windows\""), "0",
            "5 Target OS Version is not compatible.");
        decision("no constraint on Vista", "manifest", with("compatible_os_version", nullptr), "0",
            "7 ");
        decision("same version", "manifest", with("version", "\"2.1.1702011951\""), "4", old);
        decision("newer version", "manifest", with("version", "\"2.1.1702011952\""), "4", "7 ");
        decision("8.1", "windows", "6.3.9600", none, "3");
        decision("10, its last build", "windows", "10.0.21999", none, "4");
        decision("11, its first build", "windows", "10.0.22000", none, "5");
        decision("99", "progress", "999/1000", none, "    [99 %] Downloaded 999 / 1000 bytes");
        decision("28", "progress", "29/100", none, "    [28 %] Downloaded 29 / 100 bytes");
        decision("110", "progress", "1100/1000", none, "    [110 %] Downloaded 1100 / 1000 bytes");
        decision("2 GiB", "progress", "3221225472/4294967296", none,
            "    [75 %] Downloaded 3221225472 / 4294967296 bytes");
        decision("no size", "progress", "500/-1", none, "    Downloaded 500 bytes");
        decision("plain name", "name", "mirelle-2.2.0.pkg", none, "safe");
        decision("dots in a name", "name", "..p.pkg", none, "safe");
        decision("parent", "name", "../p.pkg", none, "refused");
        decision("absolute", "name", "/etc/p.pkg", none, "refused");
        decision("backslash", "name", "..\\p.pkg", none, "refused");
        decision("drive", "name", "C:p.pkg", none, "refused");
        decision("device", "name", "NUL.pkg", none, "refused");
        decision("device, any case", "name", "sub/con", none, "refused");
        decision("port", "name", "COM1 .tar.gz", none, "refused");
        decision("port, superscript", "name", "lpt\u00b9", none, "refused");
        decision("no device", "name", "com10.pkg", none, "safe");
        decision("trailing dot", "name", "p.pkg.", none, "refused");
        decision("trailing space", "name", "p.pkg ", none, "refused");
        decision("reserved character", "name", "a|b.pkg", none, "refused");
        decision("control character", "name", "a\tb", none, "refused");
        decision("lone surrogate", "name", "\\udc00.pkg", none, "refused");
        decision("doubled slash", "url", "http://h/root//kiosk/", "updates.json",
            "http://h/root/kiosk/updates.json");
        decision("file root", "url", "file:///C:/u/pc/", "u.json", "file:///C:/u/pc/u.json");
        decision("query kept", "url", "https://u:p@h:8443/r//pc/?c=b#t", "p.zip",
            "https://u:p@h:8443/r/pc/p.zip?c=b#t");
        decision("slashes in the name", "url", "http://h/pc/", "//a//b.zip", "http://h/pc/a/b.zip");
        decision("percent stays literal", "url", "http://h/pc/", "%41 b", "http://h/pc/%2541%20b");
        decision(
            "unpaired surrogate", "url", "http://h/pc/", "\\udc00//x", "http://h/pc/%ED%B0%80/x");
        // Who may change a directory: Unix owner and mode; Windows owner and DACL.
        const char *own = "0 ", *users = "1 other accounts can change what it holds (BU: 0x6)";
        decision("root, 0755", "trust", "0 0755", "write", own);
        decision("self, 0700", "trust", "1000 0700", "write", own);
        decision("another user's", "trust", "65534 0755", "write",
            "2 it belongs to another account (uid 65534)");
        decision("group-writable", "trust", "0 0775", "replace",
            "1 other accounts can change what it holds (mode 0775)");
        decision("sticky keeps entries", "trust", "0 1777", "replace", own);
        decision("sticky, still writable", "trust", "0 1777", "write",
            "1 other accounts can change what it holds (mode 1777)");
        const QByteArray programData
            = "O:BAG:SYD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"
              "(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)(A;CIID;DCLCRPCR;;;BU)";
        decision("ProgramData's, replace", "trust", programData, "replace", own);
        decision("ProgramData's, write", "trust", programData, "write", users);
        decision("protected DACL", "trust",
            "O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-9-1001)"
            "(A;OICI;0x1200a9;;;BU)",
            "write", own);
        decision("owned by a user", "trust", "O:S-1-5-21-9-1002D:P(A;;FA;;;SY)", "write",
            "2 it belongs to another account (S-1-5-21-9-1002)");
        decision("owned by oneself", "trust", "O:S-1-5-21-9-1001D:P(A;;FA;;;S-1-5-21-9-1001)",
            "write", own);
        decision("no owner", "trust", "D:P(A;;FA;;;SY)", "write",
            "2 it belongs to another account (unknown)");
        decision("Everyone writes", "trust", "O:BAD:(A;;0x1301bf;;;WD)", "replace",
            "1 other accounts can change what it holds (WD: 0x10000)");
        decision("write-DAC for users", "trust", "O:SYD:(A;;WD;;;AU)", "replace",
            "1 other accounts can change what it holds (AU: 0x40000)");
        decision("generic write, inherited", "trust", "O:SYD:(A;ID;GW;;;BU)", "write", users);
        decision("inherit-only", "trust", "O:BAD:(A;OICIIO;GA;;;WD)(A;;FA;;;CO)", "write", own);
        decision("deny is not allow", "trust", "O:BAD:(D;;FA;;;WD)", "write", own);
        decision("no DACL", "trust", "O:BAD:NO_ACCESS_CONTROL", "write",
            "1 everyone can change what it holds (no DACL)");
        decision("TrustedInstaller", "trust",
            "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI(A;;FA;;;S-1-5-"
            "80-"
            "956008885-3418522649-1831038044-1853292631-2271478464)",
            "write", own);
        // Rights it cannot decode count as every right: the reader fails closed.
        const QByteArray every = "1 other accounts can change what it holds (";
        decision("unknown code", "trust", "O:SYD:(A;;ZZ;;;BU)", "replace", every + "BU: 0xd0040)");
        decision("registry code", "trust", "O:SYD:(A;;KA;;;BU)", "replace", every + "BU: 0xd0000)");
        decision("unreadable DACL", "trust", "O:SYD:(A;;FA;;", "write",
            every + "a DACL that cannot be read)");
        decision("reserve, small volume", "reserve", "262144", none, "13107");
        decision("reserve, large volume", "reserve", "1099511627776", none, "1073741824");
        decision("size", "size", "{\"size\": 44}", none, "44");
        decision("no size", "size", "{}", none, "-1");
        decision("size as text", "size", "{\"size\": \"44\"}", none, "refused");
        decision("fraction", "size", "{\"size\": 4.5}", none, "refused");
        decision("negative", "size", "{\"size\": -1}", none, "refused");
        decision("beyond 2^53", "size", "{\"size\": 1e300}", none, "refused");
        decision("UNC, Qt's form", "remote", "file:////server/share/m", none, UNC);
        decision("UNC, host form", "remote", "file://server/share/m", none, UNC);
        decision("localhost", "remote", "file://localhost/srv/m", none, "0 file:///srv/m");
        decision("own line", "log", "hello", QByteArray::number(QtInfoMsg), stamp + "hello\n");
        decision("Qt warning", "log", "w", QByteArray::number(QtWarningMsg), stamp + "[warn] w\n");
        decision("control characters", "log", "v\n<01-01-2020 00:00:00:000>  x\x1b[2J\x7f",
            QByteArray::number(QtInfoMsg),
            stamp + "v\\n<01-01-2020 00:00:00:000>  x\\x1b[2J\\x7f\n");
        decision("not Latin-1", "log", "é\u0436", QByteArray::number(QtCriticalMsg),
            stamp + "[critical] é?\n");
    }
    void decide()
    {
        QFETCH(QByteArray, function);
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(QByteArray, expected);
        QString actual;
        if (function == "version")
            actual = QString::number(compareVersions(QString::fromUtf8(a), QString::fromUtf8(b)));
        else if (function == "os")
            actual = allowed(QString::fromUtf8(a));
        else if (function == "manifest")
            actual = evaluated(a, b.toInt());
        else if (function == "name")
            actual = QLatin1String(
                isSafePackageName(QString::fromUtf8(a).replace("\\udc00"_s, QChar(0xdc00)))
                    ? "safe"
                    : "refused");
        else if (function == "log")
            actual = QString::fromLatin1(LogSink::formatLine(
                QtMsgType(b.toInt()), "07-12-2026 01:02:03:004"_s, QString::fromUtf8(a)));
        else if (function == "windows")
            actual = QString::number(windowsGenerationOf(
                a.split('.')[0].toInt(), a.split('.')[1].toInt(), a.split('.')[2].toInt()));
        else if (function == "trust")
            actual = trust(a, b == "write" ? Scope::Write : Scope::Replace);
        else if (function == "reserve")
            actual = QString::number(freeSpaceReserve(a.toLongLong()));
        else if (function == "size") {
            const std::optional<qint64> size
                = packageSizeOf(QJsonDocument::fromJson(a).object().value("size"_s));
            actual = size ? QString::number(*size) : "refused"_s;
        } else if (function == "remote")
            actual = "%1 %2"_s.arg(int(checkRemotePath(QString::fromUtf8(a))))
                         .arg(remoteRoot(QString::fromUtf8(a)).toString());
        else if (function == "progress")
            actual = progressLine(a.split('/')[0].toLongLong(), a.split('/')[1].toLongLong());
        else if (function == "url")
            actual = remoteUrl(
                QString::fromUtf8(a), QString::fromUtf8(b).replace("\\udc00"_s, QChar(0xdc00)));
        QCOMPARE(actual.toUtf8(), expected);
    }

private:
    QString remoteUrl(const QString &root, const QString &name)
    {
        QTemporaryDir tmp; // the application's lock and socket
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        int argc = 1;
        char arg[] = "tst_decisions", *argv[] = {arg, nullptr};
        UpdaterApp app(argc, argv);
        app.setRemotePath(root);
        return app.remoteUrl(name).toString(QUrl::FullyEncoded);
    }
};

QTEST_APPLESS_MAIN(Decisions)
#include "tst_decisions.moc"
