#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace TestSupport {

QString updaterBinary();
QString sourceDir();

// Points TMPDIR of this process (and of the processes it starts) at a
// directory of its own, so that the lock and socket never meet another run's.
void isolateTempDir(const QString &dir);

struct RunResult {
    bool finished = false; // false: the watchdog killed it
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

// Sets program, arguments and TMPDIR=tmpDir for a run of the real updater.
void prepareUpdater(QProcess &process, const QStringList &args, const QString &tmpDir);

// The result of a started run: kills it when it did not finish in time.
RunResult collectRun(QProcess &process, bool finished, qint64 elapsedMs);

// Runs the real updater to its end with TMPDIR=tmpDir; kills it after timeoutMs.
RunResult runUpdater(const QStringList &args, const QString &tmpDir, int timeoutMs = 60000);

// Starts the updater in the background with TMPDIR=tmpDir; the caller owns it.
QProcess *startUpdater(const QStringList &args, const QString &tmpDir, QObject *parent = nullptr);

// The lines of a file, without their line feeds; empty when it cannot be read.
QStringList readLines(const QString &path);

// The message part of each log line (what follows "<stamp>  ").
QStringList logMessages(const QString &logPath);

// Writes bytes to a file, creating parent directories; false on failure.
bool writeFile(const QString &path, const QByteArray &content);

QByteArray md5Hex(const QByteArray &content);

} // namespace TestSupport

#endif // TESTSUPPORT_H
