// The download engine end to end, in process: each row fetches one URL with
// UpdaterApp::download and checks the result, the log lines and what ends up
// at the destination.

#include "app/updaterapp.h"
#include "support/fakehttpserver.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace TestSupport;

namespace {

enum Source { Http, Https, File, Refused };

// What the progress lines of a row may look like.
const qint64 noProgress = -2;
const qint64 unknownSize = -1;

// The network layer reports progress at most every 100 ms, counted from the
// request; a body held back longer than that is reported when it arrives.
const int beyondProgressInterval = 150;

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

QString verified(const QByteArray &bytes)
{
    return QStringLiteral("    SUCCESS: MD5 hash of downloaded file is %1, as expected.")
        .arg(md5Of(bytes));
}

QString mismatch(const QByteArray &bytes, const QString &expected)
{
    return QStringLiteral("    FAILURE: MD5 hash of downloaded file was %1, which is distinct "
                          "from the expected %2.")
        .arg(md5Of(bytes), expected);
}

QString finished(int size)
{
    return QStringLiteral("    Finished downloading %1 bytes.").arg(size);
}

const QString downloading = QStringLiteral("Downloading {url} to {dest}");
const QString verifying = QStringLiteral("    Verifying downloaded file ...");
const QString notStored = QStringLiteral("    ERROR: Cloud not store downloaded file.");

const QRegularExpression knownLine(
    QStringLiteral("^    \\[(-?\\d+) %\\] Downloaded (-?\\d+) / (-?\\d+) bytes$"));
const QRegularExpression unknownLine(QStringLiteral("^    Downloaded (\\d+) bytes$"));

bool isProgress(const QString &line)
{
    return knownLine.match(line).hasMatch() || unknownLine.match(line).hasMatch();
}

} // namespace

class TestDownload : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void download_data();
    void download();

private:
    QUrl prepareSource(int source, const FakeResponse &response, const QByteArray &fileContent);
    bool fetch(const QUrl &url, const QString &dest, const QString &md5, const QString &releaseOn);
    void checkLines(const QStringList &expected, const QUrl &url, const QString &dest);
    void checkProgress(qint64 total, const QStringList &required, int minimum);
    QStringList stagingFiles() const;

    QTemporaryDir tmp_;
    int argc_ = 1;
    char name_[16] = "tst_download";
    char *argv_[2] = {name_, nullptr};
    std::unique_ptr<UpdaterApp> app_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<FakeHttpServer> http_;
    std::unique_ptr<FakeHttpsServer> https_;
    std::unique_ptr<RefusingPort> refusing_;
    QString localPath_;
    QString destDir_;
    int row_ = 0;
    bool watchdogFired_ = false;
};

void TestDownload::initTestCase()
{
    QVERIFY(tmp_.isValid());
    isolateTempDir(tmp_.filePath(QStringLiteral("tmp")));
    app_ = std::make_unique<UpdaterApp>(argc_, argv_);
    localPath_ = tmp_.filePath(QStringLiteral("updates"));
    QVERIFY(QDir().mkpath(localPath_));
    app_->setLocalPath(localPath_);
    log_ = std::make_unique<LogCapture>();
    http_ = std::make_unique<FakeHttpServer>();
    QVERIFY(http_->start());
    https_ = std::make_unique<FakeHttpsServer>();
    QVERIFY(https_->createCertificate(tmp_.path()));
    QVERIFY(https_->start());
    refusing_ = std::make_unique<RefusingPort>();
    QVERIFY(refusing_->port() != 0);
    destDir_ = tmp_.filePath(QStringLiteral("dest"));
}

void TestDownload::cleanupTestCase()
{
    refusing_.reset();
    https_.reset();
    http_.reset();
    log_.reset();
    app_.reset();
}

void TestDownload::init()
{
    QDir(destDir_).removeRecursively();
    QVERIFY(QDir().mkpath(destDir_));
    log_->clear();
    watchdogFired_ = false;
}

void TestDownload::download_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<FakeResponse>("response");
    QTest::addColumn<QByteArray>("fileContent"); // null: no source file
    QTest::addColumn<QString>("destName");
    QTest::addColumn<QByteArray>("existing"); // null: no file at the destination before
    QTest::addColumn<QString>("md5");
    QTest::addColumn<QString>("releaseOn"); // a stall ends when a line matches this
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("lines"); // all but progress; "*" ends a prefix
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QStringList>("progress"); // progress lines that must appear
    QTest::addColumn<int>("minProgress");
    QTest::addColumn<QByteArray>("stored"); // null: nothing at the destination

    const QByteArray none;
    const QString pkg = QStringLiteral("pkg.bin");
    const QString lost = QStringLiteral("missing/pkg.bin");
    const QByteArray old("previous package");
    const QString anyPercent = QStringLiteral("^    \\[\\d+ %\\]");

    const QByteArray big = content(200000, 'a');
    QTest::newRow("verified success")
        << int(Http) << FakeResponse::ok(big).delayBody(beyondProgressInterval).stallAfter(100000)
        << none << pkg << old << md5Of(big) << anyPercent << true
        << QStringList {downloading, verifying, verified(big), finished(big.size())}
        << qint64(big.size())
        << QStringList {QStringLiteral("    [100 %] Downloaded 200000 / 200000 bytes")} << 2 << big;

    const QByteArray small = content(4096, 'b');
    const QString upper = md5Of(small).toUpper();
    QVERIFY(upper != md5Of(small));
    QTest::newRow("digest in upper case")
        << int(Http) << FakeResponse::ok(small) << none << pkg << old << upper << QString() << false
        << QStringList {downloading, verifying, mismatch(small, upper)} << qint64(small.size())
        << QStringList() << 0 << old;
    const QString spaced = QLatin1Char(' ') + md5Of(small) + QLatin1Char(' ');
    QTest::newRow("digest with surrounding spaces")
        << int(Http) << FakeResponse::ok(small) << none << pkg << old << spaced << QString()
        << false << QStringList {downloading, verifying, mismatch(small, spaced)}
        << qint64(small.size()) << QStringList() << 0 << old;

    const QByteArray page("<html>gone</html>");
    QTest::newRow("404 with a body")
        << int(Http) << FakeResponse::status(404, "Not Found", page) << none << pkg << old
        << QString() << QString() << false
        << QStringList {downloading, QStringLiteral("    ERROR: (203) *")} << qint64(page.size())
        << QStringList() << 0 << old;
    QTest::newRow("500") << int(Http) << FakeResponse::status(500, "Internal Server Error", page)
                         << none << pkg << none << QString() << QString() << false
                         << QStringList {downloading, QStringLiteral("    ERROR: (401) *")}
                         << qint64(page.size()) << QStringList() << 0 << none;

    QTest::newRow("body shorter than announced, then close")
        << int(Http) << FakeResponse::ok(content(600, 'c')).announce(1000) << none << pkg << none
        << QString() << QString() << false
        << QStringList {downloading, QStringLiteral("    ERROR: (2) *")} << qint64(1000)
        << QStringList() << 0 << none;
    // A notification at exactly 999 (or 29) bytes: the body comes late enough
    // to be reported on arrival, and the last byte waits for that report.
    const QString at999 = QStringLiteral("    [99 %] Downloaded 999 / 1000 bytes");
    const QByteArray thousand = content(1000, 'd');
    QTest::newRow("999 of 1000 bytes is 99 %")
        << int(Http) << FakeResponse::ok(thousand).delayBody(beyondProgressInterval).stallAfter(999)
        << none << pkg << none << QString() << QRegularExpression::escape(at999) << true
        << QStringList {downloading, finished(1000)} << qint64(1000)
        << QStringList {at999, QStringLiteral("    [100 %] Downloaded 1000 / 1000 bytes")} << 2
        << thousand;
    const QString at29 = QStringLiteral("    [28 %] Downloaded 29 / 100 bytes");
    const QByteArray hundred = content(100, 'e');
    QTest::newRow("29 of 100 bytes is 28 %")
        << int(Http) << FakeResponse::ok(hundred).delayBody(beyondProgressInterval).stallAfter(29)
        << none << pkg << none << QString() << QRegularExpression::escape(at29) << true
        << QStringList {downloading, finished(100)} << qint64(100)
        << QStringList {at29, QStringLiteral("    [100 %] Downloaded 100 / 100 bytes")} << 2
        << hundred;

    const QByteArray moved("moved body");
    QTest::newRow("redirect is stored, not followed")
        << int(Http) << FakeResponse::redirect(302, "/elsewhere", moved) << none << pkg << none
        << QString() << QString() << true << QStringList {downloading, finished(moved.size())}
        << qint64(moved.size()) << QStringList() << 0 << moved;

    const QByteArray stream = content(3 * 1024 * 1024 + 5, 'f');
    QTest::newRow("size not announced")
        << int(Http)
        << FakeResponse::ok(stream)
               .chunked({65536})
               .delayBody(beyondProgressInterval)
               .stallAfter(65545)
        << none << pkg << none << md5Of(stream) << unknownLine.pattern() << true
        << QStringList {downloading, verifying, verified(stream), finished(stream.size())}
        << unknownSize
        << QStringList {QStringLiteral("    [100 %] Downloaded 3145733 / 3145733 bytes")} << 2
        << stream;

    const QByteArray empty("");
    QTest::newRow("empty body verified")
        << int(Http) << FakeResponse::ok(empty) << none << pkg << old << md5Of(empty) << QString()
        << true << QStringList {downloading, verifying, verified(empty), finished(0)} << qint64(0)
        << QStringList() << 0 << empty;

    QTest::newRow("destination folder missing")
        << int(Http) << FakeResponse::ok(small) << none << lost << none << md5Of(small) << QString()
        << false << QStringList {downloading, verifying, verified(small), notStored}
        << qint64(small.size()) << QStringList() << 0 << none;

    const QByteArray local = content(3000, 'g');
    QTest::newRow("file URL copy")
        << int(File) << FakeResponse() << local << pkg << old << QString() << QString() << true
        << QStringList {downloading, finished(local.size())} << noProgress << QStringList() << 0
        << local;
    QTest::newRow("file URL, source missing")
        << int(File) << FakeResponse() << none << pkg << old << QString() << QString() << false
        << QStringList {downloading, notStored} << noProgress << QStringList() << 0 << none;
    QTest::newRow("file URL verified")
        << int(File) << FakeResponse() << local << pkg << none << md5Of(local) << QString() << true
        << QStringList {downloading, verifying, verified(local), finished(local.size())}
        << noProgress << QStringList() << 0 << local;
    QTest::newRow("file URL with a mismatching digest")
        << int(File) << FakeResponse() << local << pkg << old << md5Of(small) << QString() << false
        << QStringList {downloading, verifying, mismatch(local, md5Of(small))} << noProgress
        << QStringList() << 0 << none;
    QTest::newRow("file URL into a missing folder")
        << int(File) << FakeResponse() << local << lost << none << QString() << QString() << false
        << QStringList {downloading, notStored} << noProgress << QStringList() << 0 << none;

    const QByteArray secure = content(70000, 'h');
    QTest::newRow("https with a self-signed certificate")
        << int(Https) << FakeResponse::ok(secure) << none << pkg << none << md5Of(secure)
        << QString() << true
        << QStringList {downloading, verifying, verified(secure), finished(secure.size())}
        << qint64(secure.size()) << QStringList() << 0 << secure;

    QTest::newRow("connection refused")
        << int(Refused) << FakeResponse() << none << pkg << old << QString() << QString() << false
        << QStringList {downloading, QStringLiteral("    ERROR: (1) *")} << noProgress
        << QStringList() << 0 << old;
}

void TestDownload::download()
{
    QFETCH(int, source);
    QFETCH(FakeResponse, response);
    QFETCH(QByteArray, fileContent);
    QFETCH(QString, destName);
    QFETCH(QByteArray, existing);
    QFETCH(QString, md5);
    QFETCH(QString, releaseOn);
    QFETCH(bool, expected);
    QFETCH(QStringList, lines);
    QFETCH(qint64, total);
    QFETCH(QStringList, progress);
    QFETCH(int, minProgress);
    QFETCH(QByteArray, stored);

    const QString dest = destDir_ + QLatin1Char('/') + destName;
    if (!existing.isNull())
        QVERIFY(writeFile(dest, existing));
    const int requestsBefore = http_->requests().size() + https_->requests().size();
    const QUrl url = prepareSource(source, response, fileContent);

    QCOMPARE(fetch(url, dest, md5, releaseOn), expected);
    QVERIFY2(!watchdogFired_, "the download hung and was cut off");
    checkLines(lines, url, dest);
    checkProgress(total, progress, minProgress);

    // One request per download: no retry, no redirect followed.
    const int requests = http_->requests().size() + https_->requests().size() - requestsBefore;
    QCOMPARE(requests, source == Http || source == Https ? 1 : 0);
    QFile file(dest);
    QCOMPARE(file.exists(), !stored.isNull());
    if (!stored.isNull()) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), stored);
    }
    // The staging file goes with its reply, whatever the outcome.
    QTRY_COMPARE(stagingFiles(), QStringList());
}

QUrl TestDownload::prepareSource(
    int source, const FakeResponse &response, const QByteArray &fileContent)
{
    const QString path = QStringLiteral("/row%1/pkg.bin").arg(++row_);
    switch (source) {
    case Http:
        http_->setResponse(path.toLatin1(), response);
        return http_->url(path);
    case Https:
        https_->setResponse(path.toLatin1(), response);
        return https_->url(path);
    case File: {
        const QString local = tmp_.filePath(QStringLiteral("source")) + path;
        if (!fileContent.isNull())
            writeFile(local, fileContent);
        return QUrl::fromLocalFile(local);
    }
    default:
        return refusing_->url(path);
    }
}

bool TestDownload::fetch(
    const QUrl &url, const QString &dest, const QString &md5, const QString &releaseOn)
{
    // The first matching line releases the stall, once and only during this
    // download, late enough for the rest to be reported on arrival as well:
    // then the final size is reported twice, by the data and by the end.
    const QRegularExpression match(releaseOn);
    QTimer release;
    release.setSingleShot(true);
    release.setTimerType(Qt::PreciseTimer);
    connect(&release, &QTimer::timeout, http_.get(), &FakeHttpServer::release);
    QMetaObject::Connection releaser;
    if (!releaseOn.isEmpty()) {
        releaser = connect(log_.get(), &LogCapture::lineLogged, this, [&](const QString &line) {
            if (match.match(line).hasMatch() && !release.isActive()) {
                disconnect(releaser);
                release.start(beyondProgressInterval);
            }
        });
    }
    // Only a broken engine gets here: drop the connections so that it returns.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [this]() {
        watchdogFired_ = true;
        http_->closeAll();
        https_->closeAll();
    });
    watchdog.start(30000);
    const bool result = app_->download(url, dest, md5);
    disconnect(releaser);
    return result;
}

void TestDownload::checkLines(const QStringList &expected, const QUrl &url, const QString &dest)
{
    QStringList actual;
    for (const QString &line : log_->lines()) {
        if (!isProgress(line))
            actual << line;
    }
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QString want = expected.at(i);
        want.replace(QLatin1String("{url}"), url.toString());
        want.replace(QLatin1String("{dest}"), dest);
        if (want.endsWith(QLatin1Char('*'))) {
            want.chop(1);
            QVERIFY2(actual.at(i).startsWith(want) && actual.at(i).size() > want.size(),
                qPrintable(actual.at(i)));
        } else {
            QCOMPARE(actual.at(i), want);
        }
    }
}

QStringList TestDownload::stagingFiles() const
{
    return QDir(localPath_)
        .entryList({QStringLiteral(".updater-*")}, QDir::Files | QDir::Hidden | QDir::System);
}

void TestDownload::checkProgress(qint64 total, const QStringList &required, int minimum)
{
    QStringList lines;
    for (const QString &line : log_->lines()) {
        if (isProgress(line))
            lines << line;
    }
    const QByteArray all = lines.join(QLatin1Char('|')).toLocal8Bit();
    if (total == noProgress) {
        QVERIFY2(lines.isEmpty(), all.constData());
        return;
    }
    QVERIFY2(lines.size() >= minimum, all.constData());
    for (const QString &line : required)
        QVERIFY2(lines.contains(line), all.constData());
    qint64 lastReceived = -1;
    int lastPercent = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch known = knownLine.match(lines.at(i));
        if (known.hasMatch()) {
            const int percent = known.captured(1).toInt();
            const qint64 received = known.captured(2).toLongLong();
            const qint64 size = known.captured(3).toLongLong();
            // Without an announced size only the closing report has one.
            QVERIFY2(
                total == unknownSize ? size == received && i == lines.size() - 1 : size == total,
                all.constData());
            QCOMPARE(percent, static_cast<int>(double(received) / double(size) * 100.0));
            QVERIFY2(percent > lastPercent && received >= lastReceived, all.constData());
            lastPercent = percent;
            lastReceived = received;
            continue;
        }
        const qint64 received = unknownLine.match(lines.at(i)).captured(1).toLongLong();
        QCOMPARE(total, unknownSize);
        // The first report, then one per MiB.
        QVERIFY2(lastReceived < 0 || received - lastReceived >= 1024 * 1024, all.constData());
        lastReceived = received;
    }
}

QTEST_APPLESS_MAIN(TestDownload)
#include "tst_download.moc"
