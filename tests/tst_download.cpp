// The download engine in process, against the scripted fake server and local files.

#include "app/updaterapp.h"
#include "support.h"
#include "transfer/downloadjob.h"
#include "transfer/partfile.h"

#include <QDir>
#include <QRegularExpression>
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
    void init()
    {
        QFile::remove(app_->logFilePath());
        removeParts(updates());
    }
    void cleanupTestCase()
    {
        app_.reset();
        ::umount2(QFile::encodeName(updates()).constData(), MNT_DETACH);
    }

    // Before the header rows, after which Qt's network thread is busy for a while.
    void resume_data()
    {
        QTest::addColumn<int>("ranges"); // how the server takes a Range: FakeServer::Ranges
        QTest::addColumn<QByteArray>("kept"); // the part an earlier run left; null: none
        QTest::addColumn<QByteArray>("validator"); // in its state
        QTest::addColumn<int>("cut"); // body bytes per connection, then it closes or holds
        QTest::addColumn<bool>("holds");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QByteArray>("lines");
        const int honour = 0, ignore = 1, refuse = 2;
        const QByteArray none, half = body.left(1000), v1 = "\"v1\"";
        const QByteArray again = "    Resuming at byte 1000 of 2000, kept from an earlier run.|"
                                 "    The server sent the whole file: starting again from its "
                                 "first byte.|";
        QByteArray drops, stalls, silent;
        for (const char *at : {"600", "1200", "1800"}) {
            drops += QByteArray("    Interrupted: resuming at byte ") + at + " of 2000 in 0.01 s.|";
            stalls += QByteArray(
                          "    ERROR: The transfer stalled: nothing arrived for 0.3 seconds.|    "
                          "Interrupted: resuming at byte ")
                + at + " of 2000 in 0.01 s.|";
            silent += "    ERROR: The transfer stalled: nothing arrived for 0.3 seconds.|    "
                      "Interrupted: resuming at byte 0 of 2000 in 0.01 s.|";
        }
        row("drops every 600 bytes", honour, none, none, 600, false, true, drops + verified);
        row("stalls every 600 bytes", honour, none, none, 600, true, true, stalls + verified);
        row("always stalls", honour, none, none, 0, true, false,
            silent + "    ERROR: The transfer stalled: nothing arrived for 0.3 seconds.");
        row("kept from an earlier run", honour, half, v1, -1, false, true,
            "    Resuming at byte 1000 of 2000, kept from an earlier run.|" + verified);
        row("replaced between runs", honour, QByteArray(1000, 'x'), QByteArray("\"v0\""), -1, false,
            true, again + verified);
        row("server without Range", ignore, half, v1, -1, false, true, again + verified);
        row("416", refuse, half, v1, -1, false, true,
            "    The server has no bytes from 1000 on: starting again from the first byte.|"
                + verified);
        row("garbled part", honour, QByteArray(1000, '\0'), v1, -1, false, true,
            "    FAILURE: MD5 hash of downloaded file was *|    The resumed file does not verify: "
            "starting again from the first byte.|"
                + verified);
        row("file, kept from an earlier run", honour, half, none, -1, false, true,
            "    Resuming at byte 1000 of 2000, kept from an earlier run.|" + verified);
    }
    void resume()
    {
        QFETCH(int, ranges);
        QFETCH(QByteArray, kept);
        QFETCH(QByteArray, validator);
        QFETCH(int, cut);
        QFETCH(bool, holds);
        QFETCH(bool, stored);
        QFETCH(QByteArray, lines);
        const QString name = QString::fromLatin1(QTest::currentDataTag()).replace(' '_L1, '_'_L1);
        const bool file = name.startsWith("file"_s);
        const QString dest = updates() + "/available/"_s + name;
        const QString part = partName(dest, QString::fromLatin1(good), body.size(), QByteArray());
        QVERIFY(kept.isNull() || writeFile(updates() + '/'_L1 + part, kept));
        if (!kept.isNull())
            writeState(updates(), part, {0, validator, QByteArray(), QByteArray()});
        const QUrl url
            = file ? QUrl::fromLocalFile(tmp_.filePath(name)) : QUrl(server_->url('/'_L1 + name));
        QVERIFY(!file || writeFile(url.toLocalFile(), body));
        server_->serve(url.path().toLatin1(), body, "\"v1\"", FakeServer::Ranges(ranges), cut,
            holds ? FakeServer::Then::Hold : FakeServer::Then::Close);
        server_->requests.clear();
        Expectation expectation;
        expectation.md5 = QString::fromLatin1(good);
        expectation.size = body.size();
        expectation.limits.stallMs = 300;
        expectation.pausesMs = {{10, 10, 10}};
        const bool result = app_->download(url, dest, expectation);
        server_->dropAll();
        const QStringList expected
            = ("Downloading %1 to %2|"_s.arg(url.toString(), dest) + QString::fromLatin1(lines))
                  .split('|'_L1);
        QVERIFY2(containsInOrder(log(), expected), qPrintable(log().join('\n'_L1)));
        QCOMPARE(result, stored);
        QCOMPARE(readFile(dest), stored ? body : QByteArray());
        // The rest is asked for under the validator the earlier run kept.
        QVERIFY(kept.isNull() || file
            || !server_->requests.filter("\r\nRange: bytes=1000-\r\n"_s).isEmpty());
        QVERIFY(validator.isEmpty()
            || !server_->requests.filter("If-Range: "_s + QString::fromLatin1(validator))
                    .isEmpty());
        QCOMPARE(entries(updates(), ".updater-*"_s), QStringList());
        QFile::remove(dest);
    }

    void engine_data()
    {
        QTest::addColumn<QByteArray>(
            "content"); // the response; for a file:// row the file (null: none)
        QTest::addColumn<int>("cut"); // the server closes after this many bytes, or hold, repeat
        QTest::addColumn<QByteArray>("md5");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<QByteArray>("expect"); // "size N", "limit N", "header MS", "growth MIB"
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
                "not followed.|!    Verifying downloaded file ..."),
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
                       "gives.|    Interrupted: resuming at byte 2000 of 2001 in 0.01 s."),
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
            false, QByteArray("    ERROR: The server's response header did not end within 4 MiB."),
            QByteArray("growth 4"));
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
        expectation.pausesMs = {{10, 10, 10}};
        if (expect.startsWith("header"))
            expectation.limits.headerMs = expect.mid(7).toInt();
        else if (expect.startsWith("growth")) // however slowly a loaded machine takes it in
            expectation.limits.headerMs = 600000,
            expectation.limits.headerGrowth = expect.mid(7).toLongLong() << 20;
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
        QStringList expected = (first + QString::fromLatin1(lines)).split(QLatin1Char('|'));
        for (const QString &absent : expected.filter(QRegularExpression("^!"_s))) // never logged
            QVERIFY(log().filter(absent.mid(1)).isEmpty() && expected.removeAll(absent));
        QVERIFY2(containsInOrder(log(), expected), qPrintable(log().join(QLatin1Char('\n'))));
        QVERIFY(log().filter("[warn]"_s).isEmpty());
        // A request of its own (a cut-off one's resend by Qt may come late), no redirect followed.
        QCOMPARE(server_->requests.filter(" /"_s + name + " "_s).isEmpty(), file);
        QVERIFY(server_->requests.filter(" /x "_s).isEmpty());
        // The staging file goes with its reply; only an interrupted package's part
        // stays beside available (where Qt decides, either may be right).
        QTRY_COMPARE(entries(updates(), ".updater-*.tmp"_s), QStringList());
        QVERIFY(lines.endsWith('*')
            || entries(updates(), ".updater-*"_s).size()
                == (lines.contains("Interrupted") ? 2 : 0));
        removeParts(updates());
        QFile::remove(dest);
    }
};

QTEST_APPLESS_MAIN(Download)
#include "tst_download.moc"
