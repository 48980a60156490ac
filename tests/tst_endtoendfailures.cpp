// The real updater against a real nginx and file URLs: runs whose manifest
// or package cannot be had, and package names that point outside available.

#include "support/e2esite.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString packageName = QStringLiteral("mirelle-2.2.0.pkg");
const QString failedMessage = QStringLiteral("    Updates could not be downloaded properly. "
                                             "Deleting partially downloaded files to try again.");

} // namespace

class EndToEndFailures : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void failedPackageEmptiesAvailable_data();
    void failedPackageEmptiesAvailable();
    void missingManifest_data();
    void missingManifest();
    void refusedPackageName_data();
    void refusedPackageName();

private:
    QString base_;
    QTemporaryDir scratch_;
};

void EndToEndFailures::initTestCase()
{
    REQUIRE_NGINX_TOOLS();
    base_ = QDir::tempPath();
    QVERIFY(scratch_.isValid());
    tolerateOpenSslExitRace(scratch_.path());
}

void EndToEndFailures::failedPackageEmptiesAvailable_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("digest"); // how the manifest writes the package's digest
    QTest::addColumn<bool>("served");
    QTest::newRow("uppercase digest, http")
        << QStringLiteral("http") << QStringLiteral("upper") << true;
    QTest::newRow("uppercase digest, https")
        << QStringLiteral("https") << QStringLiteral("upper") << true;
    QTest::newRow("digest in blanks") << QStringLiteral("http") << QStringLiteral("blanks") << true;
    QTest::newRow("digest of other bytes")
        << QStringLiteral("http") << QStringLiteral("other") << true;
    QTest::newRow("package missing (404)")
        << QStringLiteral("http") << QStringLiteral("right") << false;
}

void EndToEndFailures::failedPackageEmptiesAvailable()
{
    QFETCH(QString, scheme);
    QFETCH(QString, digest);
    QFETCH(bool, served);
    E2ESite site(base_);
    const QByteArray package = Repository::packageBytes(64 * 1024, 3);
    const QString actual = QString::fromLatin1(TestSupport::md5Hex(package));
    QString given = actual;
    if (digest == QLatin1String("upper"))
        given = actual.toUpper();
    else if (digest == QLatin1String("blanks"))
        given = QLatin1Char(' ') + actual + QLatin1Char(' ');
    else if (digest == QLatin1String("other"))
        given = QString::fromLatin1(TestSupport::md5Hex(Repository::packageBytes(64 * 1024, 4)));
    const QString pc = site.repo() + QStringLiteral("/pc");
    QVERIFY(Repository::publish(pc, packageName, served ? package : QByteArray(), given));
    // Neither counts as a waiting package, and both go when available is emptied.
    QVERIFY(TestSupport::writeFile(site.available() + QStringLiteral("/.hidden"), "h"));
    QVERIFY(TestSupport::writeFile(site.available() + QStringLiteral("/sub/file"), "f"));
    QVERIFY2(site.serve(scheme), qPrintable(site.server().errorString()));

    const QString failure = E2ESite::failureOf(site.run(site.args(site.repoUrl(scheme))));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const int failedAt = site.indexOf(failedMessage);
    QVERIFY2(failedAt > 0, qPrintable(site.logMessages().join(QLatin1Char('\n'))));
    QCOMPARE(site.logMessages().size(), failedAt + 1);
    if (served) {
        QCOMPARE(site.logMessages().at(failedAt - 1),
            QStringLiteral("    FAILURE: MD5 hash of downloaded file was %1, which is distinct "
                           "from the expected %2.")
                .arg(actual, given));
    } else {
        QVERIFY(site.indexOfPrefix(QStringLiteral("    ERROR: (203) ")) > 0);
    }
    QVERIFY(QFileInfo(site.available()).isDir());
    QCOMPARE(Repository::entries(site.available()), QStringList());
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(site.server().accessLog().size(), 2, 10000);
    QCOMPARE(site.server().accessLog().at(1).status, served ? 200 : 404);
}

void EndToEndFailures::missingManifest_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("errorLine");
    QTest::newRow("http 404") << QStringLiteral("http") << QStringLiteral("    ERROR: (203) ");
    QTest::newRow("https 404") << QStringLiteral("https") << QStringLiteral("    ERROR: (203) ");
    QTest::newRow("file missing") << QStringLiteral("file")
                                  << QStringLiteral("    ERROR: Cloud not store downloaded file.");
}

void EndToEndFailures::missingManifest()
{
    QFETCH(QString, scheme);
    QFETCH(QString, errorLine);
    E2ESite site(base_);
    // An offer fetched by an earlier run, which this run must not evaluate again.
    QVERIFY(TestSupport::writeFile(
        site.manifestCopy(), Repository::manifest(packageName, QStringLiteral("0123"))));
    QVERIFY2(site.serve(scheme), qPrintable(site.server().errorString()));

    const QString failure = E2ESite::failureOf(site.run(site.args(site.repoUrl(scheme))));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const QStringList messages = site.logMessages();
    QCOMPARE(messages.constLast(), QStringLiteral("Could not open updates.json for reading"));
    QVERIFY2(site.indexOfPrefix(errorLine) > 0, qPrintable(messages.join(QLatin1Char('\n'))));
    QVERIFY(!QFileInfo::exists(site.manifestCopy()));
    QCOMPARE(Repository::entries(site.available()), QStringList());
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    if (scheme != QLatin1String("file")) {
        QTRY_COMPARE_WITH_TIMEOUT(site.server().accessLog().size(), 1, 10000);
        QCOMPARE(site.server().accessLog().at(0).status, 404);
    }
}

void EndToEndFailures::refusedPackageName_data()
{
    QTest::addColumn<QString>("name"); // @SITE@ and @TMP@ stand for absolute paths
    QTest::newRow("parent") << QStringLiteral("../evil.pkg");
    QTest::newRow("two parents") << QStringLiteral("../../evil.pkg");
    QTest::newRow("parent after subdirectory") << QStringLiteral("sub/../../evil.pkg");
    QTest::newRow("absolute, beside the local tree") << QStringLiteral("@SITE@/evil.pkg");
    QTest::newRow("absolute, into TMPDIR") << QStringLiteral("@TMP@/x");
    QTest::newRow("backslash parent") << QStringLiteral("..\\evil.pkg");
    QTest::newRow("drive letter") << QStringLiteral("C:evil.pkg");
    QTest::newRow("drive letter, absolute") << QStringLiteral("C:/evil.pkg");
}

void EndToEndFailures::refusedPackageName()
{
    QFETCH(QString, name);
    E2ESite site(base_);
    name.replace(QStringLiteral("@SITE@"), site.path())
        .replace(QStringLiteral("@TMP@"), site.tmp());
    const QByteArray evil = Repository::packageBytes(4096, 9);
    // Served wherever the name could lead a request, so that an updater that
    // took it would really get a body to store.
    const QString served = QDir::cleanPath(site.repo() + QStringLiteral("/pc/") + name);
    QVERIFY(served.startsWith(site.www() + QLatin1Char('/')));
    for (const QString &path : {served, site.www() + QStringLiteral("/evil.pkg")})
        QVERIFY(TestSupport::writeFile(path, evil));
    QVERIFY(Repository::publish(site.repo() + QStringLiteral("/pc"), name, QByteArray(),
        QString::fromLatin1(TestSupport::md5Hex(evil))));
    QVERIFY2(site.serve(QStringLiteral("http")), qPrintable(site.server().errorString()));
    const QStringList ignored {QStringLiteral("nginx/"), QStringLiteral("local/backup/logs/"),
        QStringLiteral("local/updates/updater.log"), QStringLiteral("local/updates/updates.json")};
    const QStringList before = Repository::snapshot(site.path(), ignored);

    const QString failure
        = E2ESite::failureOf(site.run(site.args(site.repoUrl(QStringLiteral("http")))));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const QStringList messages = site.logMessages();
    const int refusedAt
        = site.indexOfPrefix(QStringLiteral("    ERROR: Refusing package name ") + name);
    QVERIFY2(refusedAt > 0, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(messages.mid(refusedAt + 1), QStringList {failedMessage});
    QCOMPARE(Repository::snapshot(site.path(), ignored), before);
    QVERIFY(QFileInfo::exists(site.manifestCopy()));
    QTRY_COMPARE_WITH_TIMEOUT(site.server().accessLog().size(), 1, 10000);
    QCOMPARE(site.server().accessLog().at(0).uri, QStringLiteral("/repo/pc/updates.json"));
}

QTEST_GUILESS_MAIN(EndToEndFailures)
#include "tst_endtoendfailures.moc"
