// The download engine end to end, in process: each row fetches one URL with
// UpdaterApp::download and checks the result, the log lines and what ends up
// at the destination.

#include "support/downloadharness.h"
#include "support/downloadlog.h"
#include "support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QtTest>

using namespace TestSupport;
using namespace TestSupport::DownloadLog;

namespace {

enum Source { Http, Https, File, Refused };

const int late = DownloadHarness::releaseDelayMs;
const QString downloadingLine = downloading(QStringLiteral("{url}"), QStringLiteral("{dest}"));
const QByteArray previous("previous package");

QByteArray content(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(md5Hex(bytes));
}

QString error(int code)
{
    return QStringLiteral("    ERROR: (%1) *").arg(code);
}

// One download and what must come of it.
struct Row {
    Source source = Http;
    FakeResponse response;
    QByteArray fileContent; // null: no source file
    QString destName = QStringLiteral("pkg.bin");
    QByteArray existing; // null: no file at the destination before
    QString md5;
    QString releaseOn; // a stall ends when a line matches this
    bool result = false;
    QStringList lines; // all but progress lines; "*" ends a prefix
    qint64 total = noProgress;
    QStringList progress; // progress lines that must appear
    int minProgress = 0;
    QByteArray stored; // null: nothing at the destination afterwards

    Row &to(const QString &name) { return destName = name, *this; }
    Row &over(const QByteArray &bytes) { return existing = bytes, *this; }
    Row &expecting(const QString &digest) { return md5 = digest, *this; }
    Row &releasedBy(const QString &pattern) { return releaseOn = pattern, *this; }
    Row &showing(const QStringList &required, int minimum)
    {
        progress = required;
        minProgress = minimum;
        return *this;
    }
    Row &gives(bool ok, const QStringList &log, const QByteArray &after)
    {
        result = ok;
        lines = QStringList {downloadingLine} + log;
        stored = after;
        return *this;
    }
};

Row fromServer(Source source, const FakeResponse &response, qint64 total)
{
    Row row;
    row.source = source;
    row.response = response;
    row.total = total;
    return row;
}

Row fromHttp(const FakeResponse &response)
{
    return fromServer(Http, response, response.body.size());
}

Row fromFile(const QByteArray &content)
{
    Row row;
    row.source = File;
    row.fileContent = content;
    return row;
}

} // namespace

Q_DECLARE_METATYPE(Row)

class TestDownload : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void download_data();
    void download();

private:
    void addVerifiedRows();
    void addDeliveryRows();
    void addFailedTransferRows();
    void addProgressRows();
    void addFileRows();
    QUrl prepareSource(const Row &row);
    void checkLines(const Row &row, const QUrl &url, const QString &dest);

    DownloadHarness harness_;
    RefusingPort refusing_;
    QString destDir_;
    int rowNumber_ = 0;
};

void TestDownload::initTestCase()
{
    QVERIFY(harness_.setUp("tst_download"));
    QVERIFY(refusing_.port() != 0);
    destDir_ = harness_.path(QStringLiteral("dest"));
}

void TestDownload::cleanupTestCase()
{
    harness_.tearDown();
}

void TestDownload::init()
{
    QDir(destDir_).removeRecursively();
    QVERIFY(QDir().mkpath(destDir_));
    harness_.log()->clear();
}

void TestDownload::download_data()
{
    QTest::addColumn<Row>("row");
    addVerifiedRows();
    addDeliveryRows();
    addFailedTransferRows();
    addProgressRows();
    addFileRows();
}

void TestDownload::addVerifiedRows()
{
    const QByteArray big = content(200000, 'a');
    QTest::newRow("verified success")
        << fromHttp(FakeResponse::ok(big).delayBody(late).stallAfter(100000))
               .over(previous)
               .expecting(md5Of(big))
               .releasedBy(QStringLiteral("^    \\[\\d+ %\\]"))
               .showing({QStringLiteral("    [100 %] Downloaded 200000 / 200000 bytes")}, 2)
               .gives(true, {verifying(), verified(big), finished(big.size())}, big);
    const QByteArray small = content(4096, 'b');
    const QString upper = md5Of(small).toUpper();
    QVERIFY(upper != md5Of(small));
    QTest::newRow("digest in upper case")
        << fromHttp(FakeResponse::ok(small))
               .over(previous)
               .expecting(upper)
               .gives(false, {verifying(), mismatch(small, upper)}, previous);
    const QString spaced = QLatin1Char(' ') + md5Of(small) + QLatin1Char(' ');
    QTest::newRow("digest with surrounding spaces")
        << fromHttp(FakeResponse::ok(small))
               .over(previous)
               .expecting(spaced)
               .gives(false, {verifying(), mismatch(small, spaced)}, previous);
    const QByteArray empty("");
    QTest::newRow("empty body verified")
        << fromHttp(FakeResponse::ok(empty))
               .over(previous)
               .expecting(md5Of(empty))
               .gives(true, {verifying(), verified(empty), finished(0)}, empty);
    const QByteArray trickled = content(20000, 'c');
    QTest::newRow("body in small pieces")
        << fromHttp(FakeResponse::ok(trickled).trickle(1000, 1))
               .expecting(md5Of(trickled))
               .gives(true, {verifying(), verified(trickled), finished(20000)}, trickled);
}

void TestDownload::addDeliveryRows()
{
    const QByteArray small = content(4096, 'b');
    const QByteArray secure = content(70000, 'h');
    QTest::newRow("https with a self-signed certificate")
        << fromServer(Https, FakeResponse::ok(secure), secure.size())
               .expecting(md5Of(secure))
               .gives(true, {verifying(), verified(secure), finished(secure.size())}, secure);
    QTest::newRow("destination folder missing")
        << fromHttp(FakeResponse::ok(small))
               .to(QStringLiteral("missing/pkg.bin"))
               .expecting(md5Of(small))
               .gives(false, {verifying(), verified(small), notStored()}, QByteArray());
    const QByteArray moved("moved body");
    QTest::newRow("redirect is stored, not followed")
        << fromHttp(FakeResponse::redirect(302, "/elsewhere", moved))
               .gives(true, {finished(moved.size())}, moved);
}

void TestDownload::addFailedTransferRows()
{
    const QByteArray page("<html>gone</html>");
    QTest::newRow("404 with a body") << fromHttp(FakeResponse::status(404, "Not Found", page))
                                            .over(previous)
                                            .gives(false, {error(203)}, previous);
    QTest::newRow("500") << fromHttp(FakeResponse::status(500, "Internal Server Error", page))
                                .gives(false, {error(401)}, QByteArray());
    QTest::newRow("body shorter than announced, then close")
        << fromServer(Http, FakeResponse::ok(content(600, 'c')).announce(1000), 1000)
               .gives(false, {error(2)}, QByteArray());
    QTest::newRow("connection dropped in the middle")
        << fromHttp(FakeResponse::ok(content(1000, 'c')).closeAfter(400))
               .over(previous)
               .gives(false, {error(2)}, previous);
    Row refused;
    refused.source = Refused;
    QTest::newRow("connection refused")
        << refused.over(previous).gives(false, {error(1)}, previous);
}

void TestDownload::addProgressRows()
{
    // A notification at exactly 999 (or 29) bytes: the body comes late enough
    // to be reported on arrival, and the last byte waits for that report.
    const QString at999 = QStringLiteral("    [99 %] Downloaded 999 / 1000 bytes");
    const QByteArray thousand = content(1000, 'd');
    QTest::newRow("999 of 1000 bytes is 99 %")
        << fromHttp(FakeResponse::ok(thousand).delayBody(late).stallAfter(999))
               .releasedBy(QRegularExpression::escape(at999))
               .showing({at999, QStringLiteral("    [100 %] Downloaded 1000 / 1000 bytes")}, 2)
               .gives(true, {finished(1000)}, thousand);
    const QString at29 = QStringLiteral("    [28 %] Downloaded 29 / 100 bytes");
    const QByteArray hundred = content(100, 'e');
    QTest::newRow("29 of 100 bytes is 28 %")
        << fromHttp(FakeResponse::ok(hundred).delayBody(late).stallAfter(29))
               .releasedBy(QRegularExpression::escape(at29))
               .showing({at29, QStringLiteral("    [100 %] Downloaded 100 / 100 bytes")}, 2)
               .gives(true, {finished(100)}, hundred);
    // Chunked: the first chunk (65536 bytes, 65545 with framing) comes late
    // and is reported by itself; the rest only once that report is logged.
    const QByteArray stream = content(3 * 1024 * 1024 + 5, 'f');
    const FakeResponse chunked = FakeResponse::ok(stream).chunked({65536});
    QTest::newRow("size not announced")
        << fromServer(Http, FakeResponse(chunked).delayBody(late).stallAfter(65545), unknownSize)
               .expecting(md5Of(stream))
               .releasedBy(QStringLiteral("^    Downloaded \\d+ bytes$"))
               .showing({QStringLiteral("    [100 %] Downloaded 3145733 / 3145733 bytes")}, 2)
               .gives(true, {verifying(), verified(stream), finished(stream.size())}, stream);
}

void TestDownload::addFileRows()
{
    const QByteArray local = content(3000, 'g');
    const QByteArray other = content(10, 'z');
    const QString missing = QStringLiteral("missing/pkg.bin");
    QTest::newRow("file URL copy")
        << fromFile(local).over(previous).gives(true, {finished(local.size())}, local);
    QTest::newRow("file URL, source missing")
        << fromFile(QByteArray()).over(previous).gives(false, {notStored()}, QByteArray());
    QTest::newRow("file URL verified")
        << fromFile(local)
               .expecting(md5Of(local))
               .gives(true, {verifying(), verified(local), finished(local.size())}, local);
    // The destination goes before the copy, whatever the copy's outcome.
    QTest::newRow("file URL with a mismatching digest")
        << fromFile(local)
               .over(previous)
               .expecting(md5Of(other))
               .gives(false, {verifying(), mismatch(local, md5Of(other))}, QByteArray());
    QTest::newRow("file URL into a missing folder")
        << fromFile(local).to(missing).gives(false, {notStored()}, QByteArray());
}

void TestDownload::download()
{
    QFETCH(Row, row);
    const QString dest = destDir_ + QLatin1Char('/') + row.destName;
    if (!row.existing.isNull())
        QVERIFY(writeFile(dest, row.existing));
    FakeHttpServer *http = harness_.http();
    FakeHttpServer *https = harness_.https();
    const int requestsBefore = http->requests().size() + https->requests().size();
    const QUrl url = prepareSource(row);

    QCOMPARE(harness_.download(url, dest, row.md5, row.releaseOn), row.result);
    QVERIFY2(!harness_.cutOff(), "the download hung and was cut off");
    checkLines(row, url, dest);
    if (QTest::currentTestFailed())
        return;
    checkProgress(harness_.log()->lines(), row.total, row.progress, row.minProgress);
    if (QTest::currentTestFailed())
        return;

    // One request per download: no retry, no redirect followed.
    const int requests = http->requests().size() + https->requests().size() - requestsBefore;
    QCOMPARE(requests, row.source == Http || row.source == Https ? 1 : 0);
    QFile file(dest);
    QCOMPARE(file.exists(), !row.stored.isNull());
    if (!row.stored.isNull()) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == row.stored);
    }
    // The staging file goes with its reply, whatever the outcome.
    QTRY_COMPARE(harness_.stagingFiles(), QStringList());
}

QUrl TestDownload::prepareSource(const Row &row)
{
    const QString path = QStringLiteral("/row%1/pkg.bin").arg(++rowNumber_);
    switch (row.source) {
    case Http:
        harness_.http()->setResponse(path.toLatin1(), row.response);
        return harness_.http()->url(path);
    case Https:
        harness_.https()->setResponse(path.toLatin1(), row.response);
        return harness_.https()->url(path);
    case File: {
        const QString local = harness_.path(QStringLiteral("source")) + path;
        if (!row.fileContent.isNull())
            writeFile(local, row.fileContent);
        return QUrl::fromLocalFile(local);
    }
    case Refused:
        break;
    }
    return refusing_.url(path);
}

void TestDownload::checkLines(const Row &row, const QUrl &url, const QString &dest)
{
    QStringList expected = row.lines;
    expected.replaceInStrings(QStringLiteral("{url}"), url.toString());
    expected.replaceInStrings(QStringLiteral("{dest}"), dest);
    const QStringList log = harness_.log()->lines();
    compareLines(withoutProgress(log), expected);
    // A stored download ends with its last line: no progress after it.
    if (row.result)
        QCOMPARE(log.last(), expected.last());
}

QTEST_APPLESS_MAIN(TestDownload)
#include "tst_download.moc"
