// The download engine in process, against the scripted fake server and local files.

#include "app/updaterapp.h"
#include "support.h"
#include "transfer/downloadjob.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {

const QByteArray body = packageBytes(2000), good = md5Hex(body), upper = good.toUpper();
const QByteArray ok = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2000\r\n\r\n" + body;
const QByteArray chunked
    = "HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" + body;
const QByteArray unannounced = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
const QByteArray big = packageBytes(2 << 20), bigLength = "Content-Length: 2097152\r\n";
const char *noRoom
    = "    ERROR: Not enough free space: the download would leave less than 52428 bytes "
      "free on its volume.";
const QByteArray verified = "    Verifying downloaded file ...|    SUCCESS: MD5 hash of downloaded "
                            "file is "
    + good + ", as expected.|    Finished downloading 2000 bytes.";
// In the cut column: the server holds the connection open, or repeats its last bytes.
const int hold = -2, repeat = -3;
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
    bool small_ = false;

    QString updates() const { return tmp_.filePath("updates"_s); }
    QStringList log() const { return logMessages(app_->logFilePath()); }

private slots:
    void initTestCase()
    {
        qputenv("TMPDIR", tmp_.path().toLocal8Bit());
        std::signal(SIGXFSZ, SIG_IGN);
        // A 1 MiB volume of this process's own, where root may mount one.
        QVERIFY(QDir().mkpath(updates()));
        small_ = ::unshare(CLONE_NEWNS) == 0
            && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
            && ::mount("tmpfs", QFile::encodeName(updates()).constData(), "tmpfs", 0, "size=1m")
                == 0;
        app_ = std::make_unique<UpdaterApp>(argc_, argv_);
        server_ = std::make_unique<FakeServer>();
        QVERIFY(QDir().mkpath(updates() + "/available"_s));
        app_->setLocalPath(updates());
    }
    void init() { QFile::remove(app_->logFilePath()); }
    void cleanupTestCase()
    {
        app_.reset();
        ::umount2(QFile::encodeName(updates()).constData(), MNT_DETACH);
    }

    void engine_data()
    {
        QTest::addColumn<QByteArray>(
            "content"); // the response; for a file:// row the file (null: none)
        QTest::addColumn<int>("cut"); // the server closes after this many bytes, or hold, repeat
        QTest::addColumn<QByteArray>("md5");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<QByteArray>("expect"); // "size N", "limit N", "header MS"
        const QByteArray notFound
            = "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 2\r\n\r\nno";
        const QByteArray none;
        const QByteArray moved = "HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: "
                                 "/x\x1b[2J\r\nContent-Length: 2\r\n\r\nno";
        row("verified", ok, -1, good, true, verified, none);
        row("digest in capitals", ok, -1, upper, false, mismatch, none);
        row("error status with a body", notFound, -1, QByteArray(), false,
            QByteArray("    ERROR: (203) *"), none);
        row("server error, right digest", QByteArray(ok).replace("200 OK", "500 Oops"), -1, good,
            false, QByteArray("    ERROR: (401) *"), none);
        row("redirect not followed", moved, -1, good, false,
            QByteArray(
                "    WARNING: Server answered 302 Found and pointed to /x\\x1b[2J; redirects are "
                "not followed.|    Verifying downloaded file ...|    FAILURE: *"),
            none);
        row("closed half way", ok, 1000, QByteArray(), false, QByteArray("    ERROR: (2) *"), none);
        // Qt may take a cut-off chunked body as whole: only the digest keeps it out.
        row("chunked, cut off", chunked, 1500, good, false, QByteArray("    *"), none);
        row("write fails", ok, -1, good, false,
            QByteArray("    ERROR: Cloud not store downloaded file."), none);
        row("file, verified", body, -1, good, true, verified, none);
        row("file, missing", QByteArray(), -1, good, false,
            QByteArray("    ERROR: Cloud not store downloaded file."), none);
        const QByteArray limit = "limit 1000", size = "size 1999";
        const QByteArray over = " is larger than the limit of 1000 bytes.";
        // Announced, then cut short: refused on the announcement alone.
        row("announced too long", ok, 500, none, false, "    ERROR: announced_too_long" + over,
            limit);
        row("too long", unannounced + body, -1, none, false, "    ERROR: too_long" + over, limit);
        row("file, too long", body, -1, none, false, "    ERROR: file,_too_long" + over, limit);
        row("size disagrees", ok, -1, good, false,
            QByteArray(
                "    ERROR: The download announces 2000 bytes, but the manifest gives 1999."),
            size);
        row("runs past the size", chunked + "\r\n0\r\n\r\n", -1, good, false,
            QByteArray("    ERROR: The download ran past the 1999 bytes the manifest gives."),
            size);
        row("ends short of the size", chunked + "\r\n0\r\n\r\n", -1, good, false,
            QByteArray("    ERROR: The download ended after 2000 of the 2001 bytes the manifest "
                       "gives."),
            QByteArray("size 2001"));
        row("size kept", ok, -1, good, true, verified, QByteArray("size 2000"));
        row("no room, announced", unannounced.chopped(2) + bigLength + "\r\n" + big, 100000, none,
            false, QByteArray(noRoom), none);
        row("no room", unannounced + big, -1, none, false, QByteArray(noRoom), none);
        // Qt keeps a header whole until it ends: neither its time nor its size is the server's.
        row("header never ends", QByteArray("HTTP/1.1 200 OK\r\nX: a"), hold, none, false,
            QByteArray("    ERROR: The server sent no complete response header within 0.5 "
                       "seconds."),
            QByteArray("header 500"));
        row("endless header", "HTTP/1.1 200 OK\r\nX: " + QByteArray(65536, 'a'), repeat, none,
            false, QByteArray("    ERROR: The server's response header did not end within 16 MiB."),
            none);
    }
    void engine()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, cut);
        QFETCH(QByteArray, md5);
        QFETCH(bool, stored);
        QFETCH(QByteArray, lines);
        QFETCH(QByteArray, expect);
        const QString name = QString::fromLatin1(QTest::currentDataTag())
                                 .replace(QLatin1Char(' '), QLatin1Char('_'));
        const bool file = name.startsWith("file"_s);
        if (name.startsWith("no_room"_s) && !small_)
            QSKIP("no volume of its own: mounting one needs root");
        const QUrl url = file ? QUrl::fromLocalFile(tmp_.filePath(name))
                              : QUrl(server_->url(QLatin1Char('/') + name));
        QVERIFY(!file || content.isNull() || writeFile(url.toLocalFile(), content));
        server_->script(url.path().toLatin1(), content, cut,
            cut == hold ? FakeServer::Then::Hold
                        : (cut == repeat ? FakeServer::Then::Repeat : FakeServer::Then::Close));
        server_->requests.clear();
        const QString dest = updates() + "/available/"_s + name;
        rlimit limit {}; // a write past a file size limit fails as on a full disk
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small {name.startsWith("write"_s) ? 1000 : limit.rlim_cur, limit.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        Expectation expectation;
        expectation.md5 = QString::fromLatin1(md5);
        if (expect.startsWith("header"))
            expectation.limits.headerMs = expect.mid(7).toInt();
        else if (!expect.isEmpty())
            (expect.startsWith("size") ? expectation.size : expectation.limit)
                = expect.mid(5).toLongLong();
        // However long a header runs, the process grows by a bounded amount.
        const qint64 before = residentBytes();
        qint64 peak = before;
        QTimer sample;
        connect(&sample, &QTimer::timeout, [&peak] { peak = qMax(peak, residentBytes()); });
        sample.start(20);
        const bool result = app_->download(url, dest, expectation);
        sample.stop();
        server_->dropAll(); // also what Qt's network thread still reads
        QVERIFY2(peak - before < (qint64(48) << 20), qPrintable(QString::number(peak - before)));
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
        // A request of its own (a cut-off one's resend by Qt may come late), no redirect followed.
        QCOMPARE(server_->requests.filter(" /"_s + name + " "_s).isEmpty(), file);
        QVERIFY(server_->requests.filter(" /x "_s).isEmpty());
        // The staging file goes with its reply; nothing is left beside available.
        QTRY_COMPARE(entries(updates(), ".updater-*"_s), QStringList());
        QFile::remove(dest);
    }
};

QTEST_APPLESS_MAIN(Download)
#include "tst_download.moc"
