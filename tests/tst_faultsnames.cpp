// Package names that pass the name check yet look as if they could lead
// elsewhere: percent-encoded parents and slashes, a lone dot, a leading dot
// segment, a trailing slash. Over http (a real nginx) and file URLs, whatever
// the run makes of them, it writes nothing outside available, and what it
// stores there is the body the manifest's digest describes. Names the check
// refuses ("../x", "/etc/x", "..\x", "C:x" and the like) are
// tst_endtoendfailures' and tst_manifest's.

#include "support/e2esite.h"
#include "support/faultrun.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const qint64 boundMs = 30000;

// Every file below available, with its path relative to it.
QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    return files;
}

} // namespace

class NameFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void oddNameStaysInside_data();
    void oddNameStaysInside();

private:
    QString base_;
    QTemporaryDir scratch_;
};

void NameFaults::initTestCase()
{
    REQUIRE_NGINX_TOOLS();
    base_ = QDir::tempPath();
    QVERIFY(scratch_.isValid());
    tolerateOpenSslExitRace(scratch_.path());
}

void NameFaults::oddNameStaysInside_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("name");
    for (const QString &scheme : {QStringLiteral("http"), QStringLiteral("file")}) {
        for (const QString &name : {QStringLiteral("%2e%2e/evil.pkg"),
                 QStringLiteral("%2E%2E%2Fevil.pkg"), QStringLiteral("..%2fevil.pkg"),
                 QStringLiteral("."), QStringLiteral("./evil.pkg"), QStringLiteral("sub/")}) {
            QTest::addRow("%s: %s", qPrintable(scheme), qPrintable(name)) << scheme << name;
        }
    }
}

void NameFaults::oddNameStaysInside()
{
    QFETCH(QString, scheme);
    QFETCH(QString, name);
    E2ESite site(base_);
    QVERIFY(site.isValid());
    const QByteArray evil = Repository::packageBytes(4096, 9);
    const QString pc = site.repo() + QStringLiteral("/pc/");
    QVERIFY(Repository::publish(site.repo() + QStringLiteral("/pc"), name, QByteArray(),
        QString::fromLatin1(TestSupport::md5Hex(evil))));
    // Served at every place the name could lead a request, decoded or not,
    // so that a run that followed it would really get a body.
    QStringList served {pc + name, site.repo() + QStringLiteral("/evil.pkg"),
        pc + QStringLiteral("evil.pkg"), site.www() + QStringLiteral("/evil.pkg")};
    for (const QString &path : served) {
        if (!path.endsWith(QLatin1Char('/')) && !QFileInfo(QDir::cleanPath(path)).isDir())
            QVERIFY(TestSupport::writeFile(QDir::cleanPath(path), evil));
    }
    QVERIFY2(site.serve(scheme), qPrintable(site.server().errorString()));
    const QStringList ignored {QStringLiteral("nginx/"), QStringLiteral("tmp/"),
        QStringLiteral("local/backup/logs/"), QStringLiteral("local/updates/available/"),
        QStringLiteral("local/updates/updater.log"), QStringLiteral("local/updates/updates.json")};
    const QStringList before = Repository::snapshot(site.path(), ignored);

    const TestSupport::RunResult run
        = Faults::runUpdater(site.args(site.repoUrl(scheme)), site.tmp(), Faults::ChildSetup());
    const QString defect = Faults::runDefect(run, boundMs);
    QVERIFY2(defect.isEmpty(), qPrintable(defect));

    const QString log = Faults::logText(site.logPath());
    QVERIFY2(Faults::logDefect(site.logPath()).isEmpty(), qPrintable(log));
    QCOMPARE(Repository::snapshot(site.path(), ignored), before);
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    // Whatever was stored is inside available and is the described body.
    for (const QString &file : filesBelow(site.available())) {
        const QString path = QDir::cleanPath(site.available() + QLatin1Char('/') + file);
        QVERIFY2(path.startsWith(site.available() + QLatin1Char('/')), qPrintable(file));
        QVERIFY(Repository::contentOf(site.available() + QLatin1Char('/') + file) == evil);
    }
    const bool stored = !filesBelow(site.available()).isEmpty();
    QVERIFY2(stored
            == site.logMessages().constLast().startsWith(
                QLatin1String("    Finished downloading ")),
        qPrintable(log));
    qInfo("%s", stored ? "stored inside available" : "not stored");
}

QTEST_GUILESS_MAIN(NameFaults)
#include "tst_faultsnames.moc"
