// The download engine in process, against the scripted fake server and local files.

#include "app/updaterapp.h"
#include "support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const QByteArray body = packageBytes(2000), good = md5Hex(body), upper = good.toUpper();
const QByteArray ok = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2000\r\n\r\n" + body;
const QByteArray chunked
    = "HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" + body;
const QByteArray verified = "    Verifying downloaded file ...|    SUCCESS: MD5 hash of downloaded "
                            "file is "
    + good + ", as expected.|    Finished downloading 2000 bytes.";
const QByteArray mismatch = "    Verifying downloaded file ...|    FAILURE: MD5 hash of downloaded "
                            "file was "
    + good + ", which is distinct from the expected " + upper + ".";

} // namespace

class Download : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    int argc_ = 1;
    char arg_[16] = "tst_download", *argv_[2] = {arg_, nullptr};
    std::unique_ptr<UpdaterApp> app_;
    std::unique_ptr<FakeServer> server_;

    QString updates() const { return tmp_.filePath("updates"_s); }
    QStringList log() const { return logMessages(app_->logFilePath()); }

private slots:
    void initTestCase()
    {
        qputenv("TMPDIR", tmp_.path().toLocal8Bit());
        std::signal(SIGXFSZ, SIG_IGN);
        app_ = std::make_unique<UpdaterApp>(argc_, argv_);
        server_ = std::make_unique<FakeServer>();
        QVERIFY(QDir().mkpath(updates() + "/available"_s));
        app_->setLocalPath(updates());
    }
    void init() { QFile::remove(app_->logFilePath()); }

    void engine_data()
    {
        QTest::addColumn<QByteArray>(
            "content"); // the response; for a file:// row the file (null: none)
        QTest::addColumn<int>("cut"); // the server closes after this many bytes
        QTest::addColumn<QByteArray>("md5");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QByteArray>("lines");
        const QByteArray notFound
            = "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 2\r\n\r\nno";
        const QByteArray moved = "HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: "
                                 "/x\r\nContent-Length: 2\r\n\r\nno";
        row("verified", ok, -1, good, true, verified);
        row("digest in capitals", ok, -1, upper, false, mismatch);
        row("error status with a body", notFound, -1, QByteArray(), false,
            QByteArray("    ERROR: (203) *"));
        row("server error, right digest", QByteArray(ok).replace("200 OK", "500 Oops"), -1, good,
            false, QByteArray("    ERROR: (401) *"));
        row("redirect not followed", moved, -1, good, false,
            QByteArray(
                "    WARNING: Server answered 302 Found and pointed to /x; redirects are not "
                "followed.|    Verifying downloaded file ...|    FAILURE: *"));
        row("closed half way", ok, 1000, QByteArray(), false, QByteArray("    ERROR: (2) *"));
        // Qt may take a cut-off chunked body as whole: only the digest keeps it out.
        row("chunked, cut off", chunked, 1500, good, false, QByteArray("    *"));
        row("write fails", ok, -1, good, false,
            QByteArray("    ERROR: Cloud not store downloaded file."));
        row("file, verified", body, -1, good, true, verified);
        row("file, missing", QByteArray(), -1, good, false,
            QByteArray("    ERROR: Cloud not store downloaded file."));
    }
    void engine()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, cut);
        QFETCH(QByteArray, md5);
        QFETCH(bool, stored);
        QFETCH(QByteArray, lines);
        const QString name = QString::fromLatin1(QTest::currentDataTag())
                                 .replace(QLatin1Char(' '), QLatin1Char('_'));
        const bool file = name.startsWith("file"_s);
        const QUrl url = file ? QUrl::fromLocalFile(tmp_.filePath(name))
                              : QUrl(server_->url(QLatin1Char('/') + name));
        QVERIFY(!file || content.isNull() || writeFile(url.toLocalFile(), content));
        server_->script(url.path().toLatin1(), content, cut);
        server_->requests.clear();
        const QString dest = updates() + "/available/"_s + name;
        rlimit limit {}; // a write past a file size limit fails as on a full disk
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small {name.startsWith("write"_s) ? 1000 : limit.rlim_cur, limit.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        const bool result = app_->download(url, dest, QString::fromLatin1(md5));
        setrlimit(RLIMIT_FSIZE, &limit);
        // A body that cannot be stored gives its space back at once, not with its reply.
        if (small.rlim_cur == 1000)
            QCOMPARE(entries(updates(), ".updater-*"_s), QStringList());
        QCOMPARE(result, stored);
        QCOMPARE(readFile(dest), stored ? body : QByteArray());
        const QString first = "Downloading %1 to %2|"_s.arg(url.toString(), dest);
        const QStringList expected = (first + QString::fromLatin1(lines)).split(QLatin1Char('|'));
        QVERIFY2(containsInOrder(log(), expected), qPrintable(log().join(QLatin1Char('\n'))));
        QVERIFY(log().filter("[warn]"_s).isEmpty());
        // No retry of the updater's own (Qt's may resend), no redirect followed.
        QCOMPARE(server_->requests.filter(" /"_s + name + " "_s).size(), server_->requests.size());
        QCOMPARE(server_->requests.isEmpty(), file);
        // The staging file goes with its reply; nothing is left beside available.
        QTRY_COMPARE(entries(updates(), ".updater-*"_s), QStringList());
        QFile::remove(dest);
    }
};

QTEST_APPLESS_MAIN(Download)
#include "tst_download.moc"
