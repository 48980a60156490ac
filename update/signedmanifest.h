#ifndef SIGNEDMANIFEST_H
#define SIGNEDMANIFEST_H

#include "transfer/signature.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// What an updater built with a key requires of the manifest it fetched,
// before it reads it: a signature made with the key over the file as it
// arrived, for the file updates.json, and inside the signed manifest the
// kind the updater asks for and, when the manifest says when it stops being
// valid ("expires", ISO 8601 with Z or an offset), a time still to come. So
// a manifest cannot be replayed for another kind or past its expiry.

// The binding alone, on a manifest whose signature checked out. A manifest
// that is no JSON object is left to the evaluation, which reports it.
SignatureVerdict manifestBinding(
    const QByteArray &manifest, const QString &kind, const QDateTime &now);

// The whole check of a manifest and its signature file's text.
SignatureCheck verifyManifest(const QByteArray &manifest, const QByteArray &signatureText,
    const QString &kind, const QDateTime &now, const MinisignKey &key);

// The same on the files as they lie on disk.
SignatureCheck verifyManifestFile(const QString &manifestPath, const QString &signaturePath,
    const QString &kind, const QDateTime &now, const MinisignKey &key);

// The expiry a manifest names: nothing when it names none, an invalid time
// when it cannot be read.
std::optional<QDateTime> manifestExpiry(const QByteArray &manifest);

#endif // SIGNEDMANIFEST_H
