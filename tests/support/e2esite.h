#ifndef E2ESITE_H
#define E2ESITE_H

#include "support/nginxserver.h"
#include "support/testsupport.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The world of one end-to-end case, all below one temporary directory:
//   www/    document root of a private nginx (repository under www/repo/)
//   local/  the updater's local path, with updates/{available,cache} made
//           beforehand and backup/logs/ for the log archive
//   tmp/    TMPDIR of every updater started for the case (lock and socket)
//   nginx/  the server's configuration, certificate and logs
class E2ESite {
public:
    explicit E2ESite(const QString &baseDir);

    bool isValid() const { return dir_.isValid(); }
    QString path() const { return dir_.path(); }
    QString www() const { return path() + QStringLiteral("/www"); }
    QString repo() const { return www() + QStringLiteral("/repo"); }
    QString local() const { return path() + QStringLiteral("/local"); }
    QString updates() const { return local() + QStringLiteral("/updates"); }
    QString available() const { return updates() + QStringLiteral("/available"); }
    QString manifestCopy() const { return updates() + QStringLiteral("/updates.json"); }
    QString logPath() const { return updates() + QStringLiteral("/updater.log"); }
    QString tmp() const { return path() + QStringLiteral("/tmp"); }
    NginxServer &server() { return *server_; }

    // Starts the server unless the scheme is file; false when it does not come up.
    bool serve(const QString &scheme);
    // Publishes `size` bytes as package `name` with its manifest in
    // www/<dir>/pc; returns the bytes, or null when they could not be written.
    QByteArray publishPackage(const QString &dir, const QString &name, int size);
    // Remote root of the repository: "<scheme root>/repo" for http, https, file.
    QString repoUrl(const QString &scheme);
    QStringList args(const QString &remote, const QString &appKind = QString()) const;

    // Runs the updater to its end with this site's TMPDIR and a watchdog.
    TestSupport::RunResult run(const QStringList &args) const;
    // Empty for a run that ended by itself with code 0; otherwise what went wrong.
    static QString failureOf(const TestSupport::RunResult &run);

    QStringList logMessages() const;
    // Index of the first message equal to / starting with the text at or after `from`; -1 if none.
    int indexOf(const QString &message, int from = 0) const;
    int indexOfPrefix(const QString &prefix, int from = 0) const;
    // Whether the download of the remote file `name` has logged a progress
    // line (one with an announced size), that is, its body is arriving.
    bool transferring(const QString &name) const;
    // Whether the log file holds exactly this line, which may contain line feeds.
    bool logHasLine(const QByteArray &line) const;

private:
    QTemporaryDir dir_;
    std::unique_ptr<NginxServer> server_;
};

// An updater started in the background. Its watchdog kills it after a
// minute, and so does its destruction; it records when the process ended.
class BackgroundUpdater {
public:
    BackgroundUpdater(const QStringList &args, const QString &tmpDir);
    ~BackgroundUpdater();
    BackgroundUpdater(const BackgroundUpdater &) = delete;
    BackgroundUpdater &operator=(const BackgroundUpdater &) = delete;

    QProcess &process() { return *process_; }
    bool done() const { return endedAt_ >= 0; }
    // Monotonic time of the end, in milliseconds; comparable between instances.
    qint64 endedAt() const { return endedAt_; }
    qint64 runtime() const { return endedAt_ - startedAt_; }
    bool exitedCleanly() const;

private:
    std::unique_ptr<QProcess> process_;
    qint64 startedAt_;
    qint64 endedAt_ = -1;
};

// Under LeakSanitizer, an updater that used https can exit while Qt's
// network thread is still running OpenSSL's thread-exit clean-up, which then
// reports that thread's random-generator state as leaked. Points the
// suppressions of the processes started from here at a copy of the current
// file (if any) extended by libcrypto's own allocations. `dir` must outlive
// those processes.
void tolerateOpenSslExitRace(const QString &dir);

namespace Repository {

// Deterministic bytes that do not compress.
QByteArray packageBytes(int size, quint32 seed = 1);

QByteArray manifest(
    const QString &package, const QString &md5, const QString &version = QStringLiteral("2.2.0"));

// Writes <dir>/updates.json naming the package and, unless the content is
// null, <dir>/<package>. An empty md5 means the content's own digest.
bool publish(const QString &dir, const QString &package, const QByteArray &content,
    const QString &md5 = QString());

QByteArray contentOf(const QString &path);
bool setModified(const QString &path, const QDateTime &when);
QDateTime modified(const QString &path); // in UTC

// Every entry of a directory, hidden ones included, sorted by name.
QStringList entries(const QString &dir);

// Staging files of downloads ("updates/.updater-XXXXXX.part").
QStringList stagingFiles(const QString &updatesDir);

// "relative/path size" for every file and "relative/dir/" for every
// directory below root, hidden ones included, skipping paths that begin
// with one of the ignored prefixes.
QStringList snapshot(const QString &root, const QStringList &ignored);

} // namespace Repository

#endif // E2ESITE_H
