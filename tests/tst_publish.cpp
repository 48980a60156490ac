// updater-publish as a publisher runs it. A row is a shell line, its exit code and the text
// expected in its output, whose lines are trimmed and joined by |; * stands for any text.
#include "support.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// Each row runs in a fresh directory holding new.pkg (168 KiB) and r, a copy of the sample
// repository E with a directory where r/pc/blocked.pkg would go. `pc VERSION ARGS` publishes
// new.pkg into r/pc; `check ARGS` checks r/pc; `shown KIND NAME` compares the package published
// for KIND, then shows its manifest and check; `edited SED` checks the manifest sed makes;
// `signs ARGS` signs new.pkg with the test key, `resign ARGS` r/pc/updates.json; `verify` checks
// r/pc with that key; $M signs with it when publishing, $P promotes pc to kiosk.
static const char *const fixture
    = R"(B=$(dirname "$1") S=$(dirname "$2")/.. K=$3 R=r/pc/new.pkg.minisig
PATH="$B:$PATH" E="$S/examples/repository"
seq 30000 >new.pkg && cp -r "$E" r && mkdir r/pc/blocked.pkg || exit 99
pc() { updater-publish publish new.pkg --root r --kind pc "$@"; }
check() { updater-publish check --root r "$@"; }
shown() { cmp new.pkg "r/$1/$2" && cat "r/$1/updates.json" && check --kind "$1"; }
edited() { sed "$1" r/pc/updates.json >r/pc/e.json && updater-publish check r/pc/e.json; }
signs() { minisign -S -s "$K/minisign.key" -m new.pkg "$@" >/dev/null; }
verify() { check --pubkey "$K/minisign.pub" "$@"; }
resign() { minisign -S "$@" -s "$K/minisign.key" -m r/pc/updates.json >/dev/null; }
M="--minisign-key $K/minisign.key" P="updater-publish promote --root r --from pc --to kiosk"
)";

class TestPublish : public QObject {
    Q_OBJECT

private slots:
    void run_data()
    {
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("output");
        row("pc 2.2.0 && shown pc new.pkg", 0,
            "\"compatible_os_version\": \"any\"*\"size\": 168894,*new.pkg: digest verified");
        row("pc 2.x --kind mac --constraint 10- --name m.pkg && shown mac m.pkg", 0,
            "\"10-\"*\"m.pkg\"*\"2.x\"*m.pkg: digest verified");
        row("pc 2.2 --current-version 2.3", 4, "error: version 2.2 is not newer than 2.3");
        row("pc 2.1.1702011951.1", 4, "1702011951.1 is not newer than 2.1.1702011951");
        row("rm new.pkg; pc 2.2.0", 4, "error: package new.pkg does not exist");
        row("pc 2.2.0 --constraint Any", 4, "error: constraint \"Any\" rejects every Windows");
        row("pc 2.2.0 --name a/b.pkg", 4, "error: package name \"a/b.pkg\" contains a path");
        row("pc 2.2.0 --name C:b.pkg", 4, "\"C:b.pkg\" is refused by the updater");
        row("pc 2.2.0 --name .b.pkg", 4, "error: package name \".b.pkg\" is hidden");
        row("pc 2.2.0 --name updates.json", 4, "\"updates.json\" is the manifest's own name");
        row("pc 2.2.0 --kind pc/x", 4, "error: kind \"pc/x\" is not a single directory name");
        row("pc 2.2.0 --name blocked.pkg; echo $?; cmp r/pc/updates.json \"$E/pc/updates.json\"", 0,
            "error: cannot copy the package*|1");
        row("pc", 2, "error: publish takes PACKAGE and VERSION");
        row("updater-publish publish new.pkg 2.2.0", 2, "error: publish needs --root and --kind");
        row("updater-publish --help", 0, "Usage: updater-publish publish --root DIR --kind KIND");
        row("sh \"$S/tools/make-examples.sh\" \"$B\" \"$PWD/m\" && diff -r m \"$E\"", 0,
            "digest verified (5f30b15f6f340d21437a6bfa06d163da)|Result: would download");
        row("check --windows vista", 3, "log: Target OS Version is not compatible.*(exit 3)");
        row("check --current-version 2.2.0", 3,
            "2.2.0|log: The most recent update has already been installed. No updates found.");
        row("edited s/5f30/0000/", 4, "the digest 5f30b15f6f340d21437a6bfa06d163da, not 0000");
        row("edited s/mirelle-2.2.0/later/", 0, "warning: package later.pkg is not next to");
        row("edited s/5f30b15f/5F30B15F/", 4, "error: md5 \"5F30B15F6f34*has upper-case");
        row("edited s/7+/Any/", 4,
            "Windows-any|log: Target OS Version is not compatible.*error: constraint");
        row("edited 's/\"2.2.0\"/2.2/'", 4, "version  is more recent*a JSON number");
        row("edited s,mirelle-,sub/,", 4, "error: package name \"sub/2.2.0.pkg\" contains a path");
        row("edited 's/: 44/: 43/'", 4,
            "mirelle-2.2.0.pkg has 44 bytes, not the 43 that size gives");
        row("edited 's/: 44/: \"44\"/'", 4,
            "error: size is \"44\": the updater refuses the package");
        row("sed -i /size/d r/pc/updates.json && $P && grep size r/kiosk/updates.json", 0,
            "\"size\": 44,");
        row("edited s/}//", 4, "log: Error parsing updates.json: unterminated object");
        row("pc 2.2.0 $M --expires 2d && verify", 0,
            "new.pkg: signature verified*Manifest: signature verified with key*expires at*would");
        row("signs && pc 2.2.0 && verify", 4,
            "signature verified*json could not be verified: missing");
        row("pc 2.2.0 $M && sed -i s/2.2.0/2.3/ r/pc/updates.json && verify", 4, "ed: invalid");
        row("pc 2.2.0 $M --kind k && cp r/k/* r/pc && verify", 4, "verified: other kind");
        row("pc 2.2.0 $M && sed -i 's/\"os/\"expires\": \"2020-01-01T00:00Z\", &/' "
            "r/pc/updates.json && resign && verify",
            4, "updates.json could not be verified: expired");
        row("pc 2.2.0 $M && minisign -GWp k.pub -s k >/dev/null && pc 2.3 --root o "
            "--minisign-key k && cp o/pc/*.json.minisig r/pc && verify",
            4, "verified: wrong key");
        row("pc 2.2.0 $M && resign -l && verify", 4, "verified: legacy algorithm");
        row("pc 2.2.0 $M && $P $M && verify --kind kiosk", 0,
            "Promoted new.pkg (version 2.2.0) from pc to kiosk*key*, kind kiosk*would download");
        row("pc 2.2.0 --kind kiosk && pc 2.1.1702011952 && $P", 4,
            "error: kiosk already offers version 2.2.0, newer than 2.1.1702011952");
        row("minisign -GWp o -s k >/dev/null && signs -s k && pc 2.2.0 && verify", 4, "wrong key");
        row("signs && seq 40000 >new.pkg && pc 2.2.0 && verify", 4, "verified: invalid");
        row("cp new.pkg o && signs -m o && pc 2.2.0 --signature o.minisig", 4,
            "names the file \"o\"");
        row("pc 2.2.0 && cp new.pkg o && signs -m o -x $R && verify", 4, "verified: other file");
        row("pc 2.2.0 && verify", 4, "could not be verified: missing");
        row("signs && pc 2.2.0 && head -c 99 new.pkg.minisig >$R && verify", 4, "malformed");
        row("signs && pc 2.2.0 && sed -i s/file:new/file:old/ $R && verify", 4,
            "verified: invalid");
        row("signs -l -x l.sig && pc 2.2.0 && cp l.sig $R && verify", 4, "legacy algorithm");
    }

    void run()
    {
        const QString line = QString::fromUtf8(QTest::currentDataTag()); // the tag is the line
        QFETCH(int, exit);
        QFETCH(QString, output);
        QTemporaryDir dir;
        QProcess shell;
        shell.setWorkingDirectory(dir.path());
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start(QStringLiteral("sh"),
            {QStringLiteral("-c"), QLatin1String(fixture) + line, QStringLiteral("sh"),
                QStringLiteral(PUBLISH_BINARY), QStringLiteral(__FILE__),
                QStringLiteral(TEST_KEY_DIR)});
        QVERIFY(shell.waitForFinished(30000)); // a hung shell dies with the QProcess
        const QString text
            = QString::fromUtf8(shell.readAll())
                  .replace(QRegularExpression(QStringLiteral("\\s*\\n\\s*")), QStringLiteral("|"));
        QCOMPARE(shell.exitCode(), exit);
        int at = 0;
        for (const QString &part : output.split(QLatin1Char('*'))) {
            at = text.indexOf(part, at);
            QVERIFY2(at >= 0, qPrintable(QStringLiteral("no \"%1\" in: %2").arg(part, text)));
            at += part.size();
        }
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
