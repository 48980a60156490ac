// The real updater against a real nginx (http and https) and file URLs:
// runs that store a package, and the rules for a package already waiting.

#include "support/e2esite.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString userAgent = QStringLiteral("corvane-software_updater-2.1.1702011951");
const QString packageName = QStringLiteral("mirelle-2.2.0.pkg");
const QString pendingMessage
    = QStringLiteral("Previously installed updates are yet to be installed.");
const QDateTime longAgo(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);

} // namespace

class EndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void fullUpdate_data();
    void fullUpdate();
    void pendingPackageRules_data();
    void pendingPackageRules();

private:
    void checkDownloadLines(
        E2ESite &site, const QString &base, const QByteArray &package, bool verified);
    void checkAccessLog(E2ESite &site, const QString &scheme, const QString &uriBase);
    void checkPendingRunTouchesNothing(E2ESite &site, const QStringList &args);

    QString base_;
    QTemporaryDir scratch_;
};

void EndToEnd::initTestCase()
{
    REQUIRE_NGINX_TOOLS();
    base_ = QDir::tempPath();
    QVERIFY(scratch_.isValid());
    tolerateOpenSslExitRace(scratch_.path());
}

void EndToEnd::fullUpdate_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("appKind");
    QTest::addColumn<bool>("trailingSlash");
    QTest::newRow("http") << QStringLiteral("http") << QString() << false;
    QTest::newRow("https") << QStringLiteral("https") << QString() << false;
    QTest::newRow("file") << QStringLiteral("file") << QString() << false;
    QTest::newRow("http, kiosk") << QStringLiteral("http") << QStringLiteral("kiosk") << false;
    QTest::newRow("https, root ending in /") << QStringLiteral("https") << QString() << true;
}

void EndToEnd::fullUpdate()
{
    QFETCH(QString, scheme);
    QFETCH(QString, appKind);
    QFETCH(bool, trailingSlash);
    E2ESite site(base_);
    const QString kind = appKind.isEmpty() ? QStringLiteral("pc") : appKind;
    const QByteArray package = Repository::packageBytes(300 * 1024);
    QVERIFY(Repository::publish(site.repo() + QLatin1Char('/') + kind, packageName, package));
    // Another kind's offer, which a run for this kind must not take.
    const QString other
        = kind == QLatin1String("pc") ? QStringLiteral("kiosk") : QStringLiteral("pc");
    QVERIFY(Repository::publish(site.repo() + QLatin1Char('/') + other, QStringLiteral("decoy.pkg"),
        Repository::packageBytes(1000, 7)));
    QVERIFY2(site.serve(scheme), qPrintable(site.server().errorString()));

    const QString remote = site.repoUrl(scheme) + (trailingSlash ? QStringLiteral("/") : QString());
    const QString failure = E2ESite::failureOf(site.run(site.args(remote, appKind)));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    QCOMPARE(Repository::entries(site.available()), QStringList {packageName});
    QCOMPARE(Repository::contentOf(site.available() + QLatin1Char('/') + packageName), package);
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    const QString base = site.repoUrl(scheme) + QLatin1Char('/') + kind + QLatin1Char('/');
    checkDownloadLines(site, base, package, scheme != QLatin1String("file"));
    if (QTest::currentTestFailed())
        return;
    if (scheme != QLatin1String("file"))
        checkAccessLog(site, scheme, QStringLiteral("/repo/%1/").arg(kind));
    if (QTest::currentTestFailed())
        return;
    checkPendingRunTouchesNothing(site, site.args(remote, appKind));
}

void EndToEnd::checkDownloadLines(
    E2ESite &site, const QString &base, const QByteArray &package, bool verified)
{
    const int manifestAt = site.indexOf(
        QStringLiteral("Downloading %1updates.json to %2").arg(base, site.manifestCopy()));
    QVERIFY2(manifestAt >= 0, qPrintable(site.logMessages().join(QLatin1Char('\n'))));
    const QString destination = site.available() + QLatin1Char('/') + packageName;
    int at = site.indexOf(
        QStringLiteral("Downloading %1%2 to %3").arg(base, packageName, destination), manifestAt);
    QVERIFY(at > manifestAt);
    if (verified) {
        at = site.indexOf(QStringLiteral("    Verifying downloaded file ..."), at);
        QVERIFY(at > 0);
        at = site.indexOf(QStringLiteral("    SUCCESS: MD5 hash of downloaded file is %1, as "
                                         "expected.")
                              .arg(QString::fromLatin1(TestSupport::md5Hex(package))),
            at);
        QVERIFY(at > 0);
    }
    const QString finished
        = QStringLiteral("    Finished downloading %1 bytes.").arg(package.size());
    QVERIFY(site.indexOf(finished, at) > at);
    // A stored package ends the run without a further word.
    QCOMPARE(site.logMessages().constLast(), finished);
}

void EndToEnd::checkAccessLog(E2ESite &site, const QString &scheme, const QString &uriBase)
{
    NginxServer &server = site.server();
    QTRY_COMPARE_WITH_TIMEOUT(server.accessLog().size(), 2, 10000);
    const QList<AccessEntry> log = server.accessLog();
    QCOMPARE(log.at(0).uri, uriBase + QStringLiteral("updates.json"));
    QCOMPARE(log.at(1).uri, uriBase + packageName);
    for (const AccessEntry &entry : log) {
        QCOMPARE(entry.scheme, scheme);
        QCOMPARE(entry.method, QStringLiteral("GET"));
        QCOMPARE(entry.status, 200);
        QVERIFY(entry.completed);
        QCOMPARE(entry.userAgent, userAgent);
    }
}

// A run that finds a package waiting asks nothing and changes nothing.
void EndToEnd::checkPendingRunTouchesNothing(E2ESite &site, const QStringList &args)
{
    const QByteArray manifest = Repository::contentOf(site.manifestCopy());
    QVERIFY(!manifest.isEmpty());
    QVERIFY(Repository::setModified(site.manifestCopy(), longAgo));
    const QStringList waiting = Repository::entries(site.available());
    const int requests = site.server().accessLog().size();

    const QString failure = E2ESite::failureOf(site.run(args));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    QCOMPARE(site.logMessages().constLast(), pendingMessage);
    QCOMPARE(site.indexOfPrefix(QStringLiteral("Downloading ")), -1);
    QCOMPARE(Repository::contentOf(site.manifestCopy()), manifest);
    QCOMPARE(Repository::modified(site.manifestCopy()), longAgo);
    QCOMPARE(Repository::entries(site.available()), waiting);
    QCOMPARE(site.server().accessLog().size(), requests);
}

void EndToEnd::pendingPackageRules_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("fetched");
    QTest::newRow("hidden file ignored") << QStringLiteral(".waiting.pkg") << true;
    QTest::newRow("subdirectory ignored") << QStringLiteral("sub/") << true;
    QTest::newRow("available missing") << QString() << true;
    QTest::newRow("zero-byte file pending") << QStringLiteral("empty.pkg") << false;
    QTest::newRow("file of any name pending") << QStringLiteral("notes") << false;
}

void EndToEnd::pendingPackageRules()
{
    QFETCH(QString, setup);
    QFETCH(bool, fetched);
    E2ESite site(base_);
    const QString pc = site.repo() + QStringLiteral("/pc");
    // Offers the running version itself: a fetched manifest ends the run quickly.
    QVERIFY(TestSupport::writeFile(pc + QStringLiteral("/updates.json"),
        Repository::manifest(
            packageName, QStringLiteral("0123"), QStringLiteral("2.1.1702011951"))));
    if (setup.isEmpty())
        QVERIFY(QDir(site.available()).removeRecursively());
    else if (setup.endsWith(QLatin1Char('/')))
        QVERIFY(QDir().mkpath(site.available() + QLatin1Char('/') + setup));
    else
        QVERIFY(TestSupport::writeFile(site.available() + QLatin1Char('/') + setup,
            setup == QLatin1String("empty.pkg") ? QByteArray("") : QByteArray("text")));
    QVERIFY(TestSupport::writeFile(site.manifestCopy(), "stale"));
    QVERIFY(Repository::setModified(site.manifestCopy(), longAgo));
    const QStringList before = Repository::entries(site.available());
    QVERIFY2(site.serve(QStringLiteral("http")), qPrintable(site.server().errorString()));

    const QString failure
        = E2ESite::failureOf(site.run(site.args(site.repoUrl(QStringLiteral("http")))));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    QCOMPARE(Repository::entries(site.available()), before);
    if (fetched) {
        QVERIFY(site.indexOf(QStringLiteral("No update was already downloaded.")) > 0);
        QCOMPARE(site.logMessages().constLast(),
            QStringLiteral("The most recent update has already been installed. No updates found."));
        QCOMPARE(Repository::contentOf(site.manifestCopy()),
            Repository::contentOf(pc + QStringLiteral("/updates.json")));
        QTRY_COMPARE_WITH_TIMEOUT(site.server().accessLog().size(), 1, 10000);
        QCOMPARE(site.server().accessLog().at(0).uri, QStringLiteral("/repo/pc/updates.json"));
    } else {
        QCOMPARE(site.logMessages().constLast(), pendingMessage);
        QCOMPARE(site.indexOfPrefix(QStringLiteral("Downloading ")), -1);
        QCOMPARE(Repository::contentOf(site.manifestCopy()), QByteArray("stale"));
        QCOMPARE(Repository::modified(site.manifestCopy()), longAgo);
        QCOMPARE(site.server().accessLog().size(), 0);
    }
}

QTEST_GUILESS_MAIN(EndToEnd)
#include "tst_endtoend.moc"
