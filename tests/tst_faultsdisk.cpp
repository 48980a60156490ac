// A package that does not fit: a disk that fills up (a small tmpfs) or a file
// size limit (RLIMIT_FSIZE) during the download. The run reports the failure
// in a whole log, hands over nothing and ends by itself with code 0.

#include "support/e2esite.h"
#include "support/fakehttpserver.h"
#include "support/faultrun.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using TestSupport::FakeHttpServer;
using TestSupport::FakeResponse;

namespace {

const QString packageName = QStringLiteral("pkg-9.0.0.bin");
const QString failedMessage = QStringLiteral("    Updates could not be downloaded properly. "
                                             "Deleting partially downloaded files to try again.");
const QString notStored = QStringLiteral("    ERROR: Cloud not store downloaded file.");
const qint64 fileSizeLimit = 1024 * 1024;
const qint64 boundMs = 30000;
// The first page of the log is taken at the start, while the disk has room.
const int logPage = 4096;
// Where the package's download line should end: close enough to the end of
// the log's first page that only lines written once the disk is full, the
// failure lines among them, go beyond it; far enough for a stray progress
// line before.
const int logPageRoom = 100;
// A path this long stands four times in the log before the package's download.
const int pathUses = 4;

enum Limit { Tmpfs, FileSize };

// The message of the log line that holds byte `offset`; empty if none does.
QString lineAt(const QByteArray &log, int offset)
{
    if (offset >= log.size())
        return QString();
    const int start = log.lastIndexOf('\n', offset - 1) + 1;
    const QByteArray line = log.mid(start, log.indexOf('\n', offset) - start);
    return QString::fromLatin1(line.mid(line.indexOf(">  ") + 3));
}

// Whether a line was logged once the staging file had filled the disk: a
// progress line beyond what the disk holds, or one of the failure lines.
bool writtenWhileFull(const QString &message)
{
    static const QRegularExpression progress(
        QStringLiteral("^    \\[\\d+ %\\] Downloaded (\\d+) / \\d+ bytes$"));
    const QRegularExpressionMatch match = progress.match(message);
    if (match.hasMatch())
        return match.captured(1).toLongLong() > 2 * 1024 * 1024;
    return message == notStored || message == failedMessage;
}

} // namespace

class DiskFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void diskFull_data();
    void diskFull();

private:
    // A directory below `parent` whose path is `length` characters long.
    QString makeLocalPath(const QString &parent, int length);
    int pathLengthForLogEdge(const QString &mountPoint, FakeHttpServer &server,
        const QByteArray &package, const QString &tmpDir);
    void checkFailedRun(const QString &local, const QString &url);

    QString base_;
};

void DiskFaults::initTestCase()
{
    base_ = QDir::tempPath();
}

void DiskFaults::diskFull_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("tmpfs of 2 MiB fills up, http") << int(Tmpfs) << QStringLiteral("http");
    QTest::newRow("tmpfs of 2 MiB fills up, file URL") << int(Tmpfs) << QStringLiteral("file");
    QTest::newRow("file size limit of 1 MiB, http") << int(FileSize) << QStringLiteral("http");
    QTest::newRow("file size limit of 1 MiB, file URL") << int(FileSize) << QStringLiteral("file");
}

void DiskFaults::diskFull()
{
    QFETCH(int, limit);
    QFETCH(QString, scheme);
    E2ESite site(base_);
    QVERIFY(site.isValid());
    // Never fits: more than the disk holds, more than a file may grow to.
    const QByteArray package = Repository::packageBytes(4 * 1024 * 1024, 21);
    QVERIFY(Repository::publish(site.repo() + QStringLiteral("/pc"), packageName, package));

    std::unique_ptr<Faults::TmpfsMount> mount;
    Faults::ChildSetup setup;
    if (limit == Tmpfs) {
        mount.reset(new Faults::TmpfsMount(site.local(), QStringLiteral("2m")));
        if (!mount->isMounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here (%1); the file size "
                                            "limit rows stand in for a full disk")
                                 .arg(mount->errorString())));
    } else {
        setup.fileSizeLimit = fileSizeLimit;
    }
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("/pc/" + packageName.toLatin1(), FakeResponse::ok(package));
    // Over http the log is made to need a new page once the disk is full.
    const bool edge = limit == Tmpfs && scheme == QLatin1String("http");
    const int length = edge ? pathLengthForLogEdge(site.local(), server, package, site.tmp())
                            : site.local().size() + 2;
    QVERIFY(length > 0);
    const QString local = makeLocalPath(site.local(), length);
    QVERIFY(!local.isEmpty());
    server.setResponse("/pc/updates.json",
        FakeResponse::ok(Repository::contentOf(site.repo() + QStringLiteral("/pc/updates.json"))));
    const QString url = scheme == QLatin1String("http") ? server.url(QString()).toString()
                                                        : site.repoUrl(QStringLiteral("file"));

    const QStringList args {
        QStringLiteral("--localPath"), local, QStringLiteral("--remotePath"), url};
    const TestSupport::RunResult run = Faults::runUpdater(args, site.tmp(), setup);
    const QString logPath = local + QStringLiteral("/updates/updater.log");
    const QString defect = Faults::runDefect(run, boundMs);
    qInfo("the run took %lld ms", run.elapsedMs);
    QVERIFY2(defect.isEmpty(), qPrintable(defect + QLatin1Char('\n') + Faults::logText(logPath)));
    checkFailedRun(local, url);
    if (QTest::currentTestFailed())
        return;
    if (edge) {
        const QString crossing = lineAt(Repository::contentOf(logPath), logPage);
        QVERIFY2(writtenWhileFull(crossing),
            qPrintable(QStringLiteral("the log's second page began with \"%1\", before the "
                                      "disk was full")
                           .arg(crossing)));
    }
}

QString DiskFaults::makeLocalPath(const QString &parent, int length)
{
    QString path = parent;
    while (path.size() < length) {
        const int remaining = length - path.size();
        // Segments of at most 100, never leaving one character over.
        int segment = qMin(100, remaining - 1);
        if (remaining - 1 - segment == 1)
            --segment;
        path += QLatin1Char('/') + QString(segment, QLatin1Char('d'));
    }
    const QString logs = path + QStringLiteral("/backup/logs");
    return path.size() == length && QDir().mkpath(logs) ? path : QString();
}

// A trial run, whose manifest offers nothing newer but is as long as the real
// one, measures the log up to the package's download; the length of the
// local path then places the end of that line logPageRoom bytes before the
// end of the log's first page. 0 when the trial fails.
int DiskFaults::pathLengthForLogEdge(const QString &mountPoint, FakeHttpServer &server,
    const QByteArray &package, const QString &tmpDir)
{
    const int trialLength = mountPoint.size() + 200;
    const QString trial = makeLocalPath(mountPoint + QStringLiteral("/t"), trialLength);
    const QString md5 = QString::fromLatin1(TestSupport::md5Hex(package));
    server.setResponse("/pc/updates.json",
        FakeResponse::ok(Repository::manifest(packageName, md5, QStringLiteral("0.2.0"))));
    const QString url = server.url(QString()).toString();
    const TestSupport::RunResult run = Faults::runUpdater(
        {QStringLiteral("--localPath"), trial, QStringLiteral("--remotePath"), url}, tmpDir,
        Faults::ChildSetup(), int(boundMs));
    const QByteArray log = Repository::contentOf(trial + QStringLiteral("/updates/updater.log"));
    const int checked = log.indexOf("Checking if version 0.2.0");
    QDir(mountPoint + QStringLiteral("/t")).removeRecursively();
    if (!Faults::runDefect(run, boundMs).isEmpty() || checked < 0)
        return 0;
    const int beforePackage = log.indexOf('\n', checked) + 1;
    const int stamp = log.indexOf(">  ") + 3;
    const QString packageLine = QStringLiteral("Downloading %1/pc/%2 to %3/updates/available/%2\n")
                                    .arg(url, packageName, trial);
    const int measured = beforePackage + stamp + packageLine.toLatin1().size();
    return trialLength + (logPage - logPageRoom - measured) / pathUses;
}

void DiskFaults::checkFailedRun(const QString &local, const QString &url)
{
    const QString updates = local + QStringLiteral("/updates");
    const QString logPath = updates + QStringLiteral("/updater.log");
    const QString log = Faults::logText(logPath);
    const QString logDefect = Faults::logDefect(logPath);
    QVERIFY2(logDefect.isEmpty(), qPrintable(logDefect + QLatin1Char('\n') + log));
    const QStringList messages = TestSupport::logMessages(logPath);
    QVERIFY2(messages.size() >= 3, qPrintable(log));
    QCOMPARE(messages.mid(messages.size() - 2), (QStringList {notStored, failedMessage}));
    const QString packageLine
        = QStringLiteral("Downloading %1/pc/%2 to %3/available/%2").arg(url, packageName, updates);
    QVERIFY2(messages.contains(packageLine), qPrintable(log));
    QCOMPARE(Repository::entries(updates + QStringLiteral("/available")), QStringList());
    QCOMPARE(Repository::stagingFiles(updates), QStringList());
    // The archive holds the whole log as well.
    QCOMPARE(Repository::contentOf(local + QStringLiteral("/backup/logs/last-updater.log")),
        Repository::contentOf(logPath));
}

QTEST_GUILESS_MAIN(DiskFaults)
#include "tst_faultsdisk.moc"
