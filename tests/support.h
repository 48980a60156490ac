#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

// What the test programs share: the real updater as a child process, a private
// nginx and a scripted fake HTTP server, both on 127.0.0.1 only.

#include <QHash>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

// Literal text for tests: QStringLiteral's work in fewer characters.
inline QString operator""_s(const char *text, size_t size)
{
    return QString::fromUtf8(text, static_cast<int>(size));
}

inline QLatin1Char operator""_L1(char c)
{
    return QLatin1Char(c);
}

// One row of the _data() table being filled; every argument is a column.
template <typename... Columns> void row(const char *name, Columns... columns)
{
    (QTest::newRow(name) << ... << columns);
}

struct RunResult {
    bool clean = false; // ended by itself, not by a signal or the watchdog
    int exitCode = -1;
    QByteArray out, err;
};

// With UPDATER_EXE set, the updater is that updater.exe under Wine (which keeps
// its own lock), started by the loader UPDATER_WINE, and paths handed to it go
// through hostPath ("Z:" in front).
bool underWine();
QString hostPath(const QString &path);
QString fileUrl(const QString &path); // as the updater must be given it

// Sets up a run of `program` (the updater unless given; "wine": a program of Wine's)
// with TMPDIR=tmpDir, which holds the instance lock and the local socket; `shell`, when
// given, runs in sh right before it, in its environment.
void prepareUpdater(QProcess &process, const QStringList &args, const QString &tmpDir,
    const QString &program = QStringLiteral(UPDATER_BINARY), const QString &shell = QString());
// Runs it to its end; the watchdog kills it after timeoutMs.
RunResult runUpdater(const QStringList &args, const QString &tmpDir, int timeoutMs = 30000,
    const QString &program = QStringLiteral(UPDATER_BINARY), const QString &shell = QString());

// The message part of each line of a log ("<stamp>  message").
QStringList logMessages(const QString &logPath);
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &content); // makes parent dirs
QByteArray md5Hex(const QByteArray &content);
QByteArray packageBytes(int size); // does not compress, so transfers take real time
// The package every repository of the tests offers, and its manifest's defaults.
const QString packageName = QStringLiteral("mirelle-2.2.0.pkg");
// Writes <dir>/updates.json and the 300 KiB package it names; "key=value;..."
// overrides replace manifest values ("key=#1" a number). Returns the package.
QByteArray publishPackage(const QString &dir, const QString &overrides = QString());
// Entries of a directory, hidden ones included.
QStringList entries(const QString &dir, const QString &pattern = "*"_s);
// Whether `expected` occurs in `lines` in order; "*" at the end of an entry matches any tail.
bool containsInOrder(const QStringList &lines, const QStringList &expected);

// A server run by the test on two free ports of 127.0.0.1, writing only in `dir`.
class ChildServer {
public:
    explicit ChildServer(const QString &dir);
    ~ChildServer();
    // Writes `config` ({p1}, {p2}: the ports; {dir}) and starts the program; true
    // once it listens, else `error` says why.
    bool launch(QString config, const QString &program, const QStringList &args);
    QStringList log(const QString &name) const; // lines of a file it wrote
    QString dir, error;
    quint16 ports[2] = {0, 0};

private:
    QProcess process_;
};

// nginx serving documentRoot over http and over https (self-signed). URIs
// below /slow/ (100 KB/s) and /stall/ (2 KB/s) are rate-limited; access.log has "METHOD URI STATUS
// PROTOCOL USER-AGENT via:VIA" per request.
class NginxServer : public ChildServer {
public:
    NginxServer(const QString &documentRoot, const QString &runtimeDir);
    bool start(); // sets httpRoot and httpsRoot ("http://127.0.0.1:<port>")
    QString httpRoot, httpsRoot;

private:
    QString root_;
};

// squid, resolving updates.corvane.test, a name only it knows, to 127.0.0.1;
// its second port asks for the user fleet, password s3cret.
class SquidProxy : public ChildServer {
public:
    using ChildServer::ChildServer;
    bool start();
};

// Answers each request with the raw bytes scripted for its path (404 for
// others), cut off after `cut` bytes when given; then closes the connection,
// holds it open, or repeats the last 64 KiB of them for as long as it is read.
class FakeServer : public QTcpServer {
public:
    enum class Then { Close, Hold, Repeat };
    FakeServer() { listen(QHostAddress::LocalHost); }
    QString url(const QString &path) const
    {
        return "http://127.0.0.1:%1"_s.arg(serverPort()) + path;
    }
    void script(
        const QByteArray &path, const QByteArray &raw, int cut = -1, Then then = Then::Close);
    // Serves `file` with `etag` as a static server does: a Range (under a
    // matching If-Range) gets a 206 of the rest, or with Ignore a 200, with
    // Refuse a 416; each connection then ends after `cut` bytes of body.
    enum class Ranges { Honour, Ignore, Refuse };
    void serve(const QByteArray &path, const QByteArray &file, const QByteArray &etag,
        Ranges ranges, int cut, Then then);
    void dropAll(); // ends every connection now
    QStringList requests; // each request's head, as received

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Answer {
        QByteArray raw;
        int cut = -1;
        Then then = Then::Close;
        QByteArray file, etag; // a file served, rather than raw bytes
        Ranges ranges = Ranges::Honour;
    };
    static Answer answerFor(Answer answer, const QByteArray &head);
    QHash<QByteArray, Answer> script_;
};

// A test case class with a private nginx serving <base>/www, started once.
class NginxTest : public QObject {
    Q_OBJECT

protected:
    QTemporaryDir base_;
    NginxServer nginx_ {base_.filePath("www"_s), base_.filePath("nginx"_s)};
    QString path(const QString &name) const { return base_.filePath(name); }

private slots:
    void initTestCase() { QVERIFY2(nginx_.start(), qPrintable(nginx_.error)); }
};

#endif // TESTS_SUPPORT_H
