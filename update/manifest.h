#ifndef MANIFEST_H
#define MANIFEST_H

#include "update/osversion.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

enum class ManifestOutcome {
    Unreadable,
    ParseError,
    NoInformation,
    NoMd5,
    WrongOs,
    WrongOsVersion,
    NotNewer,
    Download,
};

struct ManifestEvaluation {
    ManifestOutcome outcome;
    // The line the updater logs for this outcome; empty for Download.
    QString message;
    QJsonObject manifest; // whenever one was parsed
};

// The decision the updater takes on a manifest (steps 1 to 7), with the
// lines of the constraint and version checks logged on the way. `content`
// is null when the file could not be opened.
ManifestEvaluation evaluateManifest(
    const QByteArray *content, WindowsGeneration generation, const QString &currentVersion);

// The most bytes of a manifest an updater takes: far beyond any manifest (a
// few hundred bytes), far below a full disk.
const qint64 maxManifestSize = 64 * 1024;

// The package's size as the manifest gives it ("size", in bytes): -1 when
// it gives none, nothing when the value is no whole number of bytes.
std::optional<qint64> packageSizeOf(const QJsonValue &value);

// A package value names a file directly below the available directory, or in
// a subdirectory of it, and nowhere else.
bool isSafePackageName(const QString &name);

#endif // MANIFEST_H
