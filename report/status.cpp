#include "report/status.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace {

QString nameOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Downloaded:
        return QStringLiteral("downloaded");
    case Outcome::Waiting:
        return QStringLiteral("waiting");
    case Outcome::UpToDate:
        return QStringLiteral("upToDate");
    case Outcome::NotApplicable:
        return QStringLiteral("notApplicable");
    case Outcome::Stopped:
        return QStringLiteral("stopped");
    default:
        return QStringLiteral("failed");
    }
}

QString stamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

// A time of the previous status, taken only as the text it should be.
QJsonValue carried(const QJsonObject &previous, const QString &key)
{
    const QJsonValue value = previous.value(key);
    return value.isString() ? value : QJsonValue(QJsonValue::Undefined);
}

void insertPresent(QJsonObject &object, const QString &key, const QJsonValue &value)
{
    if (!value.isUndefined())
        object.insert(key, value);
}

} // namespace

QString Status::withoutLeadingBlanks(const QString &line)
{
    int blanks = 0;
    while (blanks < line.size() && line.at(blanks) == QLatin1Char(' '))
        ++blanks;
    return line.mid(blanks);
}

void Status::note(RunRecord &record, const QString &line)
{
    record.lastLine = withoutLeadingBlanks(line);
    if (record.error.isEmpty()
        && (record.lastLine.startsWith(QLatin1String("ERROR"))
            || record.lastLine.startsWith(QLatin1String("FAILURE"))))
        record.error = record.lastLine;
}

Outcome Status::outcomeOf(ManifestOutcome outcome)
{
    switch (outcome) {
    case ManifestOutcome::WrongOs:
    case ManifestOutcome::WrongOsVersion:
        return Outcome::NotApplicable;
    case ManifestOutcome::NotNewer:
        return Outcome::UpToDate;
    case ManifestOutcome::Download:
        return Outcome::None;
    default: // no manifest that could be used
        return Outcome::Failed;
    }
}

QJsonObject Status::offeredBy(const QJsonObject &manifest)
{
    QJsonObject offered;
    for (const char *key : {"version", "package", "size"})
        insertPresent(offered, QLatin1String(key), manifest.value(QLatin1String(key)));
    return offered;
}

QString Status::withoutCredentials(const QString &remote)
{
    const int scheme = remote.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return remote;
    const int start = scheme + 3;
    int end = remote.indexOf(QLatin1Char('/'), start);
    end = end < 0 ? remote.size() : end;
    const int at = end > start ? remote.lastIndexOf(QLatin1Char('@'), end - 1) : -1;
    return at < start ? remote : remote.left(start) + remote.mid(at + 1);
}

QJsonObject Status::previousFrom(const QByteArray &content)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (content.size() > maxSize || error.error != QJsonParseError::NoError || !document.isObject()
        || document.object().value(QLatin1String("schema")) != QJsonValue(1))
        return QJsonObject();
    return document.object();
}

QJsonObject Status::compose(const RunRecord &record, const RunIdentity &who,
    const QDateTime &finished, const QJsonObject &previous)
{
    // A run that ended without a decision cannot have checked anything.
    const Outcome outcome = record.outcome == Outcome::None ? Outcome::Failed : record.outcome;
    const QString now = stamp(finished);
    QJsonObject status {{QStringLiteral("schema"), 1}, {QStringLiteral("updater"), who.updater},
        {QStringLiteral("kind"), who.kind},
        {QStringLiteral("remote"), withoutCredentials(who.remote)},
        {QStringLiteral("started"), stamp(record.started)}, {QStringLiteral("finished"), now},
        {QStringLiteral("outcome"), nameOf(outcome)},
        {QStringLiteral("message"), record.message.isEmpty() ? record.lastLine : record.message},
        {QStringLiteral("bytes"), double(record.bytes)}};
    if (!record.error.isEmpty())
        status.insert(QStringLiteral("error"), record.error);
    if (!record.offered.isEmpty())
        status.insert(QStringLiteral("offered"), record.offered);
    if (outcome == Outcome::Downloaded || outcome == Outcome::Waiting)
        status.insert(QStringLiteral("package"), record.package);
    const QString downloaded = QStringLiteral("lastDownloaded"),
                  checked = QStringLiteral("lastChecked");
    insertPresent(status, downloaded,
        outcome == Outcome::Downloaded ? QJsonValue(now) : carried(previous, downloaded));
    const bool checkedNow = outcome != Outcome::Failed && outcome != Outcome::Stopped;
    insertPresent(status, checked, checkedNow ? QJsonValue(now) : carried(previous, checked));
    const int failures = qMax(0, previous.value(QStringLiteral("consecutiveFailures")).toInt());
    status.insert(
        QStringLiteral("consecutiveFailures"), outcome == Outcome::Failed ? failures + 1 : 0);
    return status;
}
