#include "log/logsink.h"

#include "app/updaterapp.h"
#include "trust/localtree.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>

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

// Control characters from outside (a manifest's values, a server's headers)
// would write lines of their own, or steer a terminal: each line of the log
// is the updater's own.
QString escaped(const QString &message)
{
    const auto control = [](QChar c) {
        const ushort u = c.unicode();
        return u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0);
    };
    if (std::none_of(message.begin(), message.end(), control))
        return message;
    QString text;
    for (const QChar c : message) {
        if (!control(c))
            text += c;
        else if (c == QLatin1Char('\n'))
            text += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            text += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            text += QLatin1String("\\t");
        else
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return text;
}

// A log of this run's own: never reached through a link or another's file.
bool openLog(QFile &file, const QString &path)
{
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Append;
    return FileEdge::openOwnFile(file, path, mode) || FileEdge::createFile(file, path, mode);
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
    line += escaped(message).toLatin1();
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
            if (type == QtInfoMsg && QThread::currentThread() == liveApp->thread())
                liveApp->noteLine(escaped(message));
            const QString path = liveApp->logFilePath();
            if (!path.isEmpty()) {
                QFile file;
                if (openLog(file, path))
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
        // Whatever lies there goes, a dangling link included.
        FileEdge::removeFile(logPath_);
    }
    qInstallMessageHandler(messageHandler);
}

namespace {

// Whether backup/ or backup/logs, found at `path`, may take the log's copies;
// a missing one takes none, silently.
bool archivable(const FileEdge::Entry &entry, const QString &path)
{
    if (!entry.facts.exists)
        return false;
    QString problem = QLatin1String(linkRefusal);
    if (!entry.facts.isLink && !entry.dir.isOpen()) {
        problem = QStringLiteral("it is not a directory");
    } else if (!entry.facts.isLink) {
        const TrustVerdict verdict = FileEdge::verdictOn(entry.facts, Scope::Write);
        if (verdict.trust == Trust::Own)
            return true;
        problem = verdict.reason();
    }
    qInfo(
        "WARNING: Not archiving the log in %s: %s.", qUtf8Printable(path), qUtf8Printable(problem));
    return false;
}

void writeCopy(const FileEdge::Directory &dir, const QString &name, const QByteArray &content)
{
    QFile copy;
    if (FileEdge::createFile(copy, dir, name, QIODevice::WriteOnly))
        copy.write(content);
}

} // namespace

void UpdaterApp::archiveLog()
{
    QFile log;
    if (logPath_.isEmpty() || !tree_ || !FileEdge::openOwnFile(log, logPath_, QIODevice::ReadOnly))
        return;
    // Another account's directory, or a link, would take root's copies
    // anywhere: both are checked, then written through as they are held.
    const QString backupPath = QDir::cleanPath(localPath_ + QStringLiteral("/../backup"));
    const FileEdge::Entry backup = FileEdge::openEntry(tree_->local.dir, QStringLiteral("backup"));
    if (!archivable(backup, backupPath))
        return;
    const FileEdge::Entry logs = FileEdge::openEntry(backup.dir, QStringLiteral("logs"));
    if (!archivable(logs, backupPath + QStringLiteral("/logs")))
        return;
    const QByteArray content = log.readAll();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-hhmmss"));
    // A dated copy of that name already there stays; the latest is replaced in one step.
    writeCopy(logs.dir, QStringLiteral("updater-%1.log").arg(stamp), content);
    const QString next = QStringLiteral(".last-updater.log.new");
    FileEdge::removeFile(logs.dir, next);
    writeCopy(logs.dir, next, content);
    FileEdge::renameFile(logs.dir, next, QStringLiteral("last-updater.log"));
}
