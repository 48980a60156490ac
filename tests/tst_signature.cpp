// Signed packages, keys and signatures made by minisign. Every row is published and checked
// by the publisher, then run by an updater built with the test key (nginx or file URL).

#include "support/e2esite.h"

#include <QTest>

namespace {

QString operator""_s(const char *text, size_t size)
{
    return QString::fromUtf8(text, static_cast<int>(size));
}

const QString pkg = "mirelle-2.3.0.pkg"_s, testKey = QStringLiteral(TEST_KEY_DIR "/minisign.key");
const QString testPub = QStringLiteral(TEST_KEY_DIR "/minisign.pub"), base = QDir::tempPath();

// Runs a tool to its end; with `out`, any exit code will do and stdout is kept.
bool run(const char *program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess process;
    process.start(QString::fromUtf8(program), args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return false;
    if (out)
        *out = process.readAllStandardOutput();
    return out || process.exitCode() == 0;
}

bool sign(const QString &file, const QString &key, const QStringList &extra = {})
{
    return run(MINISIGN_BINARY, QStringList {"-S"_s, "-s"_s, key, "-m"_s, file} + extra);
}

bool plant(const QString &fault, E2ESite &site, QByteArray &bytes)
{
    const QString dir = site.repo() + "/pc"_s, package = dir + "/"_s + pkg;
    const QString sig = package + ".minisig"_s, other = site.path() + "/x"_s, key = other + ".k"_s;
    const QStringList keygen {"-G"_s, "-W"_s, "-p"_s, other + ".pub"_s, "-s"_s, key};
    if (fault.startsWith("package"_s))
        return Repository::publish(dir, pkg, bytes = Repository::packageBytes(bytes.size(), 2));
    // minisign names the file by the path it is given: a link gives the same bytes another name.
    if ((fault.contains("another file"_s)
            && !(QFile::link(package, other) && sign(other, testKey, {"-x"_s, sig})))
        || (fault == "wrong key"_s && !(run(MINISIGN_BINARY, keygen) && sign(package, key)))
        || (fault == "legacy Ed"_s && !sign(package, testKey, {"-l"_s})))
        return false;
    QByteArray text = Repository::contentOf(sig);
    if (fault.contains("comment"_s))
        text.replace("file:x\t", "file:" + pkg.toLatin1() + '\t');
    if (fault == "truncated"_s)
        text.truncate(text.size() / 2);
    if (fault.startsWith("stray"_s))
        text.insert(text.indexOf('\n') + 10, '*');
    return fault == "missing"_s ? QFile::remove(sig) : TestSupport::writeFile(sig, text);
}

} // namespace

class Signature : public QObject {
    Q_OBJECT

private slots:
    void check_data();
    void check();
};

void Signature::check_data()
{
    QTest::addColumn<QString>("reason"); // as logged; empty: verified. The tag names the fault.
    QTest::newRow("good") << QString();
    QTest::newRow("good, file URL") << QString();
    QTest::newRow("wrong key") << "wrong key"_s;
    QTest::newRow("package and md5 replaced") << "invalid"_s;
    QTest::newRow("same bytes signed as another file") << "other file"_s;
    QTest::newRow("signed as another file, comment renamed to the package") << "invalid"_s;
    QTest::newRow("missing") << "missing"_s;
    QTest::newRow("truncated") << "malformed"_s;
    QTest::newRow("stray character in base64") << "malformed"_s;
    QTest::newRow("legacy Ed") << "legacy algorithm"_s;
}

void Signature::check()
{
    REQUIRE_NGINX_TOOLS();
    QFETCH(QString, reason);
    // minisign's comment names the key as minisign prints ids, but without leading zeros.
    const QString keyId
        = TestSupport::readLines(testPub).value(0).section(" "_s, -1).rightJustified(
            16, QLatin1Char('0'));
    const QString fault = QString::fromLatin1(QTest::currentDataTag());
    const QString scheme = fault.endsWith("file URL"_s) ? "file"_s : "http"_s;
    E2ESite site(base);
    const QString source = site.path() + "/"_s + pkg;
    QByteArray bytes = Repository::packageBytes(200 * 1024), out;
    QVERIFY(TestSupport::writeFile(source, bytes) && sign(source, testKey)
        && run(PUBLISH_BINARY,
            {"publish"_s, source, "2.3.0"_s, "--root"_s, site.repo(), "--kind"_s, "pc"_s}));
    QVERIFY(plant(fault, site, bytes));
    QVERIFY(run(PUBLISH_BINARY, {"check"_s, "--root"_s, site.repo(), "--pubkey"_s, testPub}, &out));
    const QString report
        = reason.isEmpty() ? "verified with key "_s + keyId : "verified: "_s + reason;
    QVERIFY2(out.contains(report.toLatin1()), out.constData());

    TestSupport::isolateTempDir(site.tmp()); // the updater's lock and socket
    QVERIFY(site.serve(scheme) && run(KEYED_UPDATER_BINARY, site.args(site.repoUrl(scheme))));
    // The signature is fetched once the MD5 is verified, and checked before the package is stored.
    const QStringList log = site.logMessages();
    const int at = log.indexOf("Downloading %1/pc/%2.minisig to %3/%2.minisig"_s.arg(
        site.repoUrl(scheme), pkg, site.updates()));
    QVERIFY2(at > 0 && log[at - 1].startsWith("    SUCCESS: MD5"_s), qPrintable(log.join("\n"_s)));
    const QString verdict = reason.isEmpty()
        ? "    SUCCESS: Signature of downloaded file verified with key %1."_s.arg(keyId)
        : "    FAILURE: Signature of downloaded file could not be verified: %1."_s.arg(reason);
    QCOMPARE(log.mid(log.size() - 3),
        QStringList({"    Verifying signature of downloaded file ..."_s, verdict,
            reason.isEmpty() ? "    Finished downloading %1 bytes."_s.arg(bytes.size())
                             : "    Updates could not be downloaded properly. Deleting partially "
                               "downloaded files to try again."_s}));
    QCOMPARE(Repository::entries(site.available()).join(" "_s), reason.isEmpty() ? pkg : QString());
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
}

QTEST_GUILESS_MAIN(Signature)
#include "tst_signature.moc"
