#include "log/logsink.h"

#include "trust/fileedge.h"
#include "app/updaterapp.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex &sinkMutex()
{
    static QMutex mutex;
    return mutex;
}

UpdaterApp *liveApp = nullptr;

const QString &timeFormat()
{
    static const QString format = QStringLiteral("dd-MM-yyyy hh:mm:ss:zzz");
    return format;
}

const char *levelTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "[debug] ";
    case QtWarningMsg:
        return "[warn] ";
    case QtCriticalMsg:
        return "[critical] ";
    case QtFatalMsg:
        return "[fatal] ";
    default:
        return "";
    }
}

} // namespace

void LogSink::attach(UpdaterApp *app)
{
    QMutexLocker locker(&sinkMutex());
    liveApp = app;
}

void LogSink::detach(UpdaterApp *app)
{
    QMutexLocker locker(&sinkMutex());
    if (liveApp == app)
        liveApp = nullptr;
}

QByteArray LogSink::formatLine(QtMsgType type, const QString &timeStamp, const QString &message)
{
    QByteArray line = QStringLiteral("<%1>  ").arg(timeStamp).toLatin1();
    line += levelTag(type);
    line += message.toLatin1();
    line += '\n';
    return line;
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // A warning raised by the file code below would come back here with the
    // lock held: drop it rather than deadlock.
    static thread_local bool writing = false;
    if (!message.isEmpty() && !writing) {
        writing = true;
        const QString stamp = QDateTime::currentDateTime().toString(timeFormat());
        const QByteArray line = LogSink::formatLine(type, stamp, message);
        // Qt may report from its own threads; one lock keeps lines whole.
        QMutexLocker locker(&sinkMutex());
        if (liveApp && QCoreApplication::instance() == liveApp) {
            const QString path = liveApp->logFilePath();
            if (!path.isEmpty()) {
                QFile file(path);
                if (file.open(QIODevice::Append))
                    file.write(line);
            }
        }
        writing = false;
    }
    if (type == QtFatalMsg)
        QCoreApplication::quit();
}

QString UpdaterApp::logFilePath() const
{
    return logPath_;
}

void UpdaterApp::setLocalPath(const QString &path)
{
    if (path == localPath_ || path.isEmpty())
        return;
    localPath_ = path;
    const QString log = localPath_ + QStringLiteral("/updater.log");
    if (log != logPath_) {
        logPath_ = log;
        if (QFile::exists(logPath_))
            QFile::remove(logPath_);
    }
    qInstallMessageHandler(messageHandler);
}

namespace {

// Why backup/ or backup/logs must not take the log's copies, or nothing.
QString archiveProblem(const QString &path)
{
    const DirectoryFacts facts = FileEdge::factsOf(path);
    if (facts.isLink)
        return QLatin1String(FileEdge::linkRefusal);
    return !facts.isDirectory ? QString() : FileEdge::verdictOn(facts, Scope::Write).reason;
}

} // namespace

void UpdaterApp::archiveLog()
{
    if (logPath_.isEmpty() || !QFile::exists(logPath_))
        return;
    // Another account's directory, or a link, would take root's copies anywhere.
    for (const QString &name : {QStringLiteral("/backup"), QStringLiteral("/backup/logs")}) {
        const QString path = QDir::cleanPath(localPath_ + QStringLiteral("/..") + name);
        const QString problem = archiveProblem(path);
        if (!problem.isEmpty()) {
            qInfo("WARNING: Not archiving the log in %s: %s.", qUtf8Printable(path),
                qUtf8Printable(problem));
            return;
        }
    }
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-hhmmss"));
    const QString dir = localPath_ + QStringLiteral("/../backup/logs/");
    QFile::copy(logPath_, dir + QStringLiteral("updater-%1.log").arg(stamp));
    const QString last = dir + QStringLiteral("last-updater.log");
    if (QFile::exists(last))
        QFile::remove(last);
    QFile::copy(logPath_, last);
}
