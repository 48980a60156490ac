// The parts of a download that need no transfer: which progress reports make
// a log line, and which leftovers of a killed run are cleared away.

#include "support/logcapture.h"
#include "support/testsupport.h"
#include "transfer/downloadjob.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

using Reports = QList<QPair<qint64, qint64>>;

class TestDownloadJob : public QObject {
    Q_OBJECT

private slots:
    void progressLines_data();
    void progressLines();
    void removeLeftovers();
    void removeLeftoversWithoutDirectory();
};

void TestDownloadJob::progressLines_data()
{
    QTest::addColumn<Reports>("reports"); // (received, total) as the network layer sends them
    QTest::addColumn<QStringList>("lines");

    const qint64 mib = 1024 * 1024;
    QTest::newRow("one line per percent step")
        << Reports {{100, 1000}, {105, 1000}, {109, 1000}, {110, 1000}, {999, 1000}, {1000, 1000}}
        << QStringList {QStringLiteral("    [10 %] Downloaded 100 / 1000 bytes"),
               QStringLiteral("    [11 %] Downloaded 110 / 1000 bytes"),
               QStringLiteral("    [99 %] Downloaded 999 / 1000 bytes"),
               QStringLiteral("    [100 %] Downloaded 1000 / 1000 bytes")};
    // The quotient comes first: 29 / 100 * 100.0 is just below 29.
    QTest::newRow("29 of 100 is 28 %") << Reports {
        {29, 100}} << QStringList {QStringLiteral("    [28 %] Downloaded 29 / 100 bytes")};
    QTest::newRow("nothing yet of a known size") << Reports {
        {0, 1000}} << QStringList {QStringLiteral("    [0 %] Downloaded 0 / 1000 bytes")};
    // The data and the end of the transfer both report the full size.
    QTest::newRow("final size reported twice")
        << Reports {{500, 1000}, {1000, 1000}, {1000, 1000}}
        << QStringList {QStringLiteral("    [50 %] Downloaded 500 / 1000 bytes"),
               QStringLiteral("    [100 %] Downloaded 1000 / 1000 bytes")};
    QTest::newRow("more than announced is not clamped") << Reports {
        {1500, 1000}} << QStringList {QStringLiteral("    [150 %] Downloaded 1500 / 1000 bytes")};
    QTest::newRow("counts beyond 32 bits print their low 32 bits")
        << Reports {{5 * 1024 * mib + 7, 10 * 1024 * mib}}
        << QStringList {QStringLiteral("    [50 %] Downloaded 1073741831 / -2147483648 bytes")};
    QTest::newRow("size not announced: first report, then one per MiB")
        << Reports {{1000, -1}, {500000, -1}, {1000 + mib - 1, -1}, {1000 + mib, -1}, {1500000, -1},
               {1000 + 2 * mib, -1}}
        << QStringList {QStringLiteral("    Downloaded 1000 bytes"),
               QStringLiteral("    Downloaded 1049576 bytes"),
               QStringLiteral("    Downloaded 2098152 bytes")};
    QTest::newRow("size not announced, then the closing report")
        << Reports {{1000, -1}, {3000, -1}, {3000, 3000}}
        << QStringList {QStringLiteral("    Downloaded 1000 bytes"),
               QStringLiteral("    [100 %] Downloaded 3000 / 3000 bytes")};
    QTest::newRow("nothing received, size unknown or zero")
        << Reports {{0, -1}, {0, 0}} << QStringList();
}

void TestDownloadJob::progressLines()
{
    QFETCH(Reports, reports);
    QFETCH(QStringList, lines);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LogCapture log;
    DownloadJob job(dir.path(), dir.filePath(QStringLiteral("pkg.bin")), QString());
    for (const auto &report : reports)
        job.logProgress(report.first, report.second);
    QCOMPARE(log.lines(), lines);
}

void TestDownloadJob::removeLeftovers()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList removed {
        QStringLiteral(".updater-a1B2c3.part"), QStringLiteral(".updater-.part")};
    const QStringList kept {QStringLiteral("updater-a1B2c3.part"),
        QStringLiteral(".updater-a1B2c3.partial"), QStringLiteral(".updater-a1B2c3.part.old"),
        QStringLiteral("pkg.part"), QStringLiteral("updater.log"), QStringLiteral("updates.json"),
        QStringLiteral("sub/.updater-a1B2c3.part")};
    for (const QString &name : removed + kept)
        QVERIFY(writeFile(dir.filePath(name), "x"));
    // A directory of that name is not a staging file.
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral(".updater-dir123.part"))));

    DownloadJob::removeLeftovers(dir.path());

    for (const QString &name : removed)
        QVERIFY2(!QFile::exists(dir.filePath(name)), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(QFile::exists(dir.filePath(name)), qPrintable(name));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral(".updater-dir123.part"))).isDir());
}

void TestDownloadJob::removeLeftoversWithoutDirectory()
{
    // An empty path must not mean the working directory.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString leftover = dir.filePath(QStringLiteral(".updater-a1B2c3.part"));
    QVERIFY(writeFile(leftover, "x"));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    DownloadJob::removeLeftovers(QString());
    QVERIFY(QDir::setCurrent(previous));
    QVERIFY(QFile::exists(leftover));
}

QTEST_APPLESS_MAIN(TestDownloadJob)
#include "tst_downloadjob.moc"
