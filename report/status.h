#ifndef STATUS_H
#define STATUS_H

#include "update/manifest.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

// What a run leaves for management tools in updates/status.json: how it
// ended, why, and what earlier runs did. The decisions take everything as
// parameters; UpdaterApp gathers it as the run goes (see RunRecord).

enum class Outcome { None, Downloaded, Waiting, UpToDate, NotApplicable, Failed, Stopped };

struct RunRecord {
    QDateTime started; // UTC
    Outcome outcome = Outcome::None;
    QString message; // the line that decided the outcome
    QString error; // the first ERROR or FAILURE line
    QString lastLine; // the latest line of the log
    QJsonObject offered; // version, package and size of a parsed manifest
    QString package; // the file name in available
    qint64 bytes = 0; // package bytes received
};

// Who ran, as the status names it.
struct RunIdentity {
    QString updater, kind, remote;
};

namespace Status {

// The most bytes of a status read back: far beyond any the updater writes.
const qint64 maxSize = 64 * 1024;

// A log line as the status quotes it.
QString withoutLeadingBlanks(const QString &line);
// Notes one line of the log in the record.
void note(RunRecord &record, const QString &line);
// The outcome a manifest's evaluation stands for; None for Download.
Outcome outcomeOf(ManifestOutcome outcome);
// What a parsed manifest offers, values as given; empty when it offers nothing.
QJsonObject offeredBy(const QJsonObject &manifest);
// A remote root without the user name and password it may carry.
QString withoutCredentials(const QString &remote);
// An earlier run's status; empty when garbled, too large or of another schema.
QJsonObject previousFrom(const QByteArray &content);
// The status of a run that ended at `finished`, carrying over from `previous`.
QJsonObject compose(const RunRecord &record, const RunIdentity &who, const QDateTime &finished,
    const QJsonObject &previous);

} // namespace Status

#endif // STATUS_H
