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

// The Windows suite: with UPDATER_EXE set, the updater is that updater.exe under
// Wine, in the prefix WINEPREFIX, which keeps its own lock; paths handed to it
// go through hostPath ("Z:" in front).
bool underWine();
QString hostPath(const QString &path);
QString fileUrl(const QString &path); // as the updater must be given it
// Runs a Windows program of Wine's (winecfg, reg) in the test's prefix.
int wine(const QStringList &args);

// Sets up a run of `program` (the updater unless given) with TMPDIR=tmpDir,
// which holds the instance lock and the local socket.
void prepareUpdater(QProcess &process, const QStringList &args, const QString &tmpDir,
    const QString &program = QStringLiteral(UPDATER_BINARY));
// Runs it to its end; the watchdog kills it after timeoutMs.
RunResult runUpdater(const QStringList &args, const QString &tmpDir, int timeoutMs = 30000,
    const QString &program = QStringLiteral(UPDATER_BINARY));

// The message part of each line of a log ("<stamp>  message").
QStringList logMessages(const QString &logPath);
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &content); // makes parent dirs
QByteArray md5Hex(const QByteArray &content);
QByteArray packageBytes(int size); // does not compress, so transfers take real time
// The package every repository of the tests offers, and its manifest's defaults.
const QString packageName = QStringLiteral("mirelle-2.2.0.pkg");
// Writes <dir>/updates.json and the 300 KiB package it names; "key=value;..."
// overrides replace manifest values. Returns the package.
QByteArray publishPackage(const QString &dir, const QString &overrides = QString());
// Entries of a directory, hidden ones included.
QStringList entries(const QString &dir, const QString &pattern = "*"_s);
// Whether `expected` occurs in `lines` in order; "*" at the end of an entry matches any tail.
bool containsInOrder(const QStringList &lines, const QStringList &expected);

// nginx serving documentRoot over http and over https (self-signed) on free
// ports; everything it writes stays in runtimeDir. URIs below /slow/ are
// rate-limited, and the access log records protocol and User-Agent.
class NginxServer {
public:
    NginxServer(const QString &documentRoot, const QString &runtimeDir);
    ~NginxServer();
    bool start(); // sets httpRoot and httpsRoot ("http://127.0.0.1:<port>"), or error
    QString httpRoot, httpsRoot, error;
    // "METHOD URI STATUS PROTOCOL USER-AGENT" per request.
    QStringList accessLog() const;

private:
    QString root_, dir_;
    QProcess process_;
};

// Answers each request with the raw bytes scripted for its path (404 for
// others), cut off after `cut` bytes when given, then closes the connection.
class FakeServer : public QTcpServer {
public:
    FakeServer() { listen(QHostAddress::LocalHost); }
    QString url(const QString &path) const
    {
        return "http://127.0.0.1:%1"_s.arg(serverPort()) + path;
    }
    void script(const QByteArray &path, const QByteArray &raw, int cut = -1);
    QList<QByteArray> requests; // each request's head, as received

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QHash<QByteArray, QPair<QByteArray, int>> script_;
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
