#ifndef PUBLISH_CHECK_H
#define PUBLISH_CHECK_H

#include "lint.h"
#include "transfer/signature.h"
#include "update/manifest.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

struct CheckRequest {
    QString manifestPath;
    WindowsGeneration generation = 4;
    QString currentVersion;
    std::optional<MinisignKey> key; // check the signatures with it, as a keyed updater does
    QString kind = QStringLiteral("pc"); // the --appKind of the updaters
    QDateTime now = QDateTime::currentDateTimeUtc();
};

enum class Verdict { WouldDownload, WouldNotDownload, Invalid };

enum class DigestState {
    NotChecked, // no usable package name or md5
    Verified, // the package next to the manifest has the manifest's digest
    Mismatch, // it has another digest: the updater would discard it
    Missing, // no such file next to the manifest
};

struct CheckReport {
    Verdict verdict = Verdict::Invalid;
    ManifestOutcome outcome = ManifestOutcome::Unreadable;
    // What the updater logs while it evaluates the manifest, in order.
    QStringList logLines;
    QList<ManifestProblem> problems;
    QString packageName;
    DigestState digest = DigestState::NotChecked;
    QString packagePath;
    QString packageMd5; // the digest of the file next to the manifest
    std::optional<SignatureCheck> signature; // when a key was given and the package is there
    std::optional<SignatureCheck> manifestSignature; // when a key was given
};

// Evaluates the manifest with the updater's own code for the given system
// and updater version, then looks for the classic publishing mistakes and
// checks the digest of the package lying next to the manifest and, given a
// key, its signature.
CheckReport checkManifest(const CheckRequest &request);

#endif // PUBLISH_CHECK_H
