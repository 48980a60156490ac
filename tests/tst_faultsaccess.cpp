// Places the updater cannot write to: a directory where a file belongs, a
// file where a directory belongs, directories owned by another user (the run
// is made as user nobody, since permission bits do not stop root) and a
// read-only file system. The run goes on as far as it can, never writes
// anywhere else, and ends by itself with code 0.

#include "support/e2esite.h"
#include "support/faultrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

namespace {

const QString packageName = QStringLiteral("pkg-9.0.0.bin");
const QString failedMessage = QStringLiteral("    Updates could not be downloaded properly. "
                                             "Deleting partially downloaded files to try again.");
const QString notStored = QStringLiteral("    ERROR: Cloud not store downloaded file.");
const qint64 boundMs = 30000;
const int packageSize = 200 * 1024;

enum Place {
    LogIsDirectory,
    ArchiveIsFile,
    UpdatesIsFile,
    ArchiveNotWritable,
    AvailableNotWritable,
    UpdatesNotWritable,
    ReadOnlyTree,
};

// Hands a tree to nobody, or back to root with the usual 0755.
bool chownTree(const QString &path, uint uid, uint gid)
{
    const QByteArray name = QFile::encodeName(path);
    if (::chown(name.constData(), uid, gid) != 0)
        return false;
    if (!QFileInfo(path).isDir())
        return true;
    for (const QString &entry : Repository::entries(path)) {
        if (!chownTree(path + QLatin1Char('/') + entry, uid, gid))
            return false;
    }
    return true;
}

// What was added to or removed from a tree snapshot, one entry a line.
QString changesBetween(const QStringList &before, const QStringList &after)
{
    QStringList changes;
    for (const QString &entry : after) {
        if (!before.contains(entry))
            changes << QStringLiteral("+ ") + entry;
    }
    for (const QString &entry : before) {
        if (!after.contains(entry))
            changes << QStringLiteral("- ") + entry;
    }
    return changes.join(QLatin1Char('\n'));
}

} // namespace

class AccessFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void unwritablePlace_data();
    void unwritablePlace();

private:
    // Sets the place up; returns why it cannot be done here, or an empty text.
    QString prepare(E2ESite &site, int place, std::unique_ptr<Faults::TmpfsMount> &mount);
    bool handToNobody(E2ESite &site, const QString &rootOwned);
    void checkPlaceKept(E2ESite &site, int place);

    QString base_;
    QTemporaryDir probeDir_;
    QString noNobody_;
};

void AccessFaults::initTestCase()
{
    base_ = QDir::tempPath();
    QVERIFY(probeDir_.isValid());
    noNobody_ = Faults::cannotRunAsNobody(probeDir_.path());
}

void AccessFaults::unwritablePlace_data()
{
    QTest::addColumn<int>("place");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<bool>("stored"); // the package reaches available
    QTest::addColumn<QStringList>("logEnd"); // empty: no log can be written at all
    QTest::addColumn<bool>("untouched"); // nothing in the case directory changes
    const QStringList finished {
        QStringLiteral("    Finished downloading %1 bytes.").arg(packageSize)};
    const QStringList failed {notStored, failedMessage};
    QTest::newRow("updater.log is a directory")
        << int(LogIsDirectory) << false << true << QStringList() << false;
    QTest::newRow("backup/logs is a file")
        << int(ArchiveIsFile) << false << true << finished << false;
    QTest::newRow("updates is a file")
        << int(UpdatesIsFile) << false << false << QStringList() << true;
    QTest::newRow("backup/logs not writable, as nobody")
        << int(ArchiveNotWritable) << true << true << finished << false;
    QTest::newRow("updates/available not writable, as nobody")
        << int(AvailableNotWritable) << true << false << failed << false;
    QTest::newRow("updates not writable, as nobody")
        << int(UpdatesNotWritable) << true << false << QStringList() << true;
    QTest::newRow("local tree on a read-only tmpfs")
        << int(ReadOnlyTree) << false << false << QStringList() << true;
}

void AccessFaults::unwritablePlace()
{
    QFETCH(int, place);
    QFETCH(bool, asNobody);
    QFETCH(bool, stored);
    QFETCH(QStringList, logEnd);
    QFETCH(bool, untouched);
    if (asNobody && !noNobody_.isEmpty())
        QSKIP(qPrintable(QStringLiteral("cannot run as nobody: ") + noNobody_));
    E2ESite site(base_);
    QVERIFY(site.isValid());
    const QByteArray package = Repository::packageBytes(packageSize, 31);
    QVERIFY(Repository::publish(site.repo() + QStringLiteral("/pc"), packageName, package));
    std::unique_ptr<Faults::TmpfsMount> mount;
    const QString impossible = prepare(site, place, mount);
    if (!impossible.isEmpty())
        QSKIP(qPrintable(impossible));
    // Where an archive would land if the updates directory were taken for the local path.
    QVERIFY(QDir().mkpath(site.path() + QStringLiteral("/backup/logs")));
    const QStringList ignored {QStringLiteral("tmp/"), QStringLiteral("nginx/")};
    const QStringList before = Repository::snapshot(site.path(), ignored);

    Faults::ChildSetup setup;
    setup.asNobody = asNobody;
    const TestSupport::RunResult run
        = Faults::runUpdater(site.args(site.repoUrl(QStringLiteral("file"))), site.tmp(), setup);
    const QString defect = Faults::runDefect(run, boundMs);
    qInfo("the run took %lld ms", run.elapsedMs);
    QVERIFY2(
        defect.isEmpty(), qPrintable(defect + QLatin1Char('\n') + Faults::logText(site.logPath())));

    if (untouched) {
        const QString changes = changesBetween(before, Repository::snapshot(site.path(), ignored));
        QVERIFY2(changes.isEmpty(), qPrintable(changes));
    }
    QCOMPARE(Repository::stagingFiles(site.updates()), QStringList());
    if (stored) {
        QCOMPARE(Repository::entries(site.available()), QStringList {packageName});
        QVERIFY(
            Repository::contentOf(site.available() + QLatin1Char('/') + packageName) == package);
    } else {
        QCOMPARE(Repository::entries(site.available()), QStringList());
    }
    checkPlaceKept(site, place);
    if (logEnd.isEmpty()) {
        QVERIFY(!QFileInfo(site.logPath()).isFile());
        return;
    }
    const QString logDefect = Faults::logDefect(site.logPath());
    QVERIFY2(logDefect.isEmpty(), qPrintable(logDefect));
    const QStringList messages = site.logMessages();
    QCOMPARE(messages.mid(messages.size() - logEnd.size()), logEnd);
}

QString AccessFaults::prepare(E2ESite &site, int place, std::unique_ptr<Faults::TmpfsMount> &mount)
{
    const QString archive = site.local() + QStringLiteral("/backup/logs");
    switch (place) {
    case LogIsDirectory:
        if (!TestSupport::writeFile(site.logPath() + QStringLiteral("/keep"), "kept"))
            return QStringLiteral("cannot make updater.log a directory");
        break;
    case ArchiveIsFile:
        if (!QDir(archive).removeRecursively() || !TestSupport::writeFile(archive, "kept"))
            return QStringLiteral("cannot make backup/logs a file");
        break;
    case UpdatesIsFile:
        if (!QDir(site.updates()).removeRecursively()
            || !TestSupport::writeFile(site.updates(), "kept"))
            return QStringLiteral("cannot make updates a file");
        break;
    case ArchiveNotWritable:
    case AvailableNotWritable:
    case UpdatesNotWritable: {
        const QString rootOwned = place == ArchiveNotWritable ? archive
            : place == AvailableNotWritable                   ? site.available()
                                                              : site.updates();
        if (!handToNobody(site, rootOwned))
            return QStringLiteral("cannot hand the case directory to nobody");
        break;
    }
    case ReadOnlyTree:
        mount.reset(new Faults::TmpfsMount(site.local(), QStringLiteral("1m")));
        if (!mount->isMounted())
            return QStringLiteral("cannot mount a tmpfs here: ") + mount->errorString();
        if (!QDir().mkpath(site.available()) || !QDir().mkpath(archive)
            || !QDir().mkpath(site.updates() + QStringLiteral("/cache"))
            || !mount->remountReadOnly())
            return QStringLiteral("cannot make a read-only local tree: ") + mount->errorString();
        break;
    }
    return QString();
}

bool AccessFaults::handToNobody(E2ESite &site, const QString &rootOwned)
{
    uint uid = 0;
    uint gid = 0;
    // The case directory is private to root until now.
    return Faults::nobodyIds(&uid, &gid)
        && QFile::setPermissions(site.path(),
            QFile::permissions(site.path()) | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup
                | QFile::ExeGroup)
        && chownTree(site.local(), uid, gid) && chownTree(site.tmp(), uid, gid)
        && chownTree(rootOwned, 0, 0);
}

void AccessFaults::checkPlaceKept(E2ESite &site, int place)
{
    const QString archive = site.local() + QStringLiteral("/backup/logs");
    switch (place) {
    case LogIsDirectory:
        QCOMPARE(Repository::entries(site.logPath()), QStringList {QStringLiteral("keep")});
        QCOMPARE(
            Repository::contentOf(site.logPath() + QStringLiteral("/keep")), QByteArray("kept"));
        QCOMPARE(Repository::entries(archive), QStringList());
        break;
    case ArchiveIsFile:
        QCOMPARE(Repository::contentOf(archive), QByteArray("kept"));
        break;
    case ArchiveNotWritable:
        QCOMPARE(Repository::entries(archive), QStringList());
        break;
    default:
        break;
    }
}

QTEST_GUILESS_MAIN(AccessFaults)
#include "tst_faultsaccess.moc"
