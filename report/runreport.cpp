#include "app/updaterapp.h"

#include "report/eventlog.h"
#include "trust/localtree.h"

#include <QFile>
#include <QJsonDocument>

void UpdaterApp::noteLine(const QString &line)
{
    Status::note(record_, line);
}

void UpdaterApp::settle(Outcome outcome, const QString &line)
{
    // What a shutdown message left behind is never a result of its own.
    if (record_.outcome == Outcome::Stopped)
        return;
    record_.outcome = outcome;
    record_.message = Status::withoutLeadingBlanks(line);
}

void UpdaterApp::decide(Outcome outcome, const QString &line)
{
    qInfo("%s", qUtf8Printable(line));
    settle(outcome, line);
}

void UpdaterApp::reportRun()
{
    // Only a tree this run trusts takes a status; a refused one was reported at once.
    if (!tree_ || !tree_->error.isEmpty() || !tree_->updates.isOpen())
        return;
    const QJsonObject status = Status::compose(record_, {applicationVersion(), kind_, remotePath_},
        QDateTime::currentDateTimeUtc(), previousStatus());
    writeStatus(QJsonDocument(status).toJson());
    const QString message = status.value(QStringLiteral("message")).toString();
    if (record_.outcome == Outcome::Downloaded)
        EventLog::report(EventLog::Event::Downloaded, message);
    else if (status.value(QStringLiteral("outcome")) == QStringLiteral("failed"))
        EventLog::report(EventLog::Event::Failed, message);
}

QJsonObject UpdaterApp::previousStatus() const
{
    // Only the updater's own regular file, never reached through a link.
    QFile file;
    if (!FileEdge::openOwnFile(
            file, tree_->updates.pathOf(QStringLiteral("status.json")), QIODevice::ReadOnly))
        return QJsonObject();
    return Status::previousFrom(file.read(Status::maxSize + 1));
}

void UpdaterApp::writeStatus(const QByteArray &text)
{
    // Made anew and renamed over the old one: a reader sees one status or
    // the other, never half of one. Not flushed: the next run writes it again.
    const FileEdge::Directory &dir = tree_->updates;
    const QString next = QStringLiteral(".status.json.new");
    FileEdge::removeFile(dir, next);
    QFile file;
    if (!FileEdge::createFile(file, dir, next, QIODevice::WriteOnly))
        return;
    const bool written = file.write(text) == text.size();
    file.close();
    if (!written || !FileEdge::renameFile(dir, next, QStringLiteral("status.json")))
        FileEdge::removeFile(dir, next);
}
