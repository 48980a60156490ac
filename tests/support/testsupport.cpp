#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

namespace TestSupport {

QString updaterBinary()
{
    return QStringLiteral(UPDATER_BINARY);
}

QString sourceDir()
{
    return QStringLiteral(UPDATER_SOURCE_DIR);
}

void isolateTempDir(const QString &dir)
{
    QDir().mkpath(dir);
    qputenv("TMPDIR", QFile::encodeName(dir));
}

void prepareUpdater(QProcess &process, const QStringList &args, const QString &tmpDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QDir().mkpath(tmpDir);
    env.insert(QStringLiteral("TMPDIR"), tmpDir);
    process.setProcessEnvironment(env);
    process.setProgram(updaterBinary());
    process.setArguments(args);
}

RunResult runUpdater(const QStringList &args, const QString &tmpDir, int timeoutMs)
{
    QProcess process;
    prepareUpdater(process, args, tmpDir);
    QElapsedTimer timer;
    timer.start();
    process.start();
    const bool finished = process.waitForFinished(timeoutMs);
    return collectRun(process, finished, timer.elapsed());
}

RunResult collectRun(QProcess &process, bool finished, qint64 elapsedMs)
{
    RunResult result;
    result.finished = finished;
    result.elapsedMs = elapsedMs;
    if (process.error() == QProcess::FailedToStart) {
        result.finished = false;
        result.err = process.errorString().toLocal8Bit();
        return result;
    }
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QProcess *startUpdater(const QStringList &args, const QString &tmpDir, QObject *parent)
{
    auto *process = new QProcess(parent);
    prepareUpdater(*process, args, tmpDir);
    process->start();
    return process;
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList logMessages(const QString &logPath)
{
    QStringList messages;
    for (const QString &line : readLines(logPath)) {
        const int end = line.indexOf(QLatin1String(">  "));
        messages << (end < 0 ? line : line.mid(end + 3));
    }
    return messages;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray md5Hex(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
}

} // namespace TestSupport
