#ifndef PUBLISH_SIGNING_H
#define PUBLISH_SIGNING_H

#include "transfer/signature.h"

#include <QString>

// The signature that publish puts beside a package: `explicitPath` when
// given, else PACKAGE.minisig when it exists; empty when there is none.
QString signatureSource(const QString &packagePath, const QString &explicitPath);

// Why the signature at `path` cannot go beside a package published as
// `packageName` (every updater with a key would refuse it); empty when it can.
QString signatureProblem(const QString &path, const QString &packageName);

// Checks <packagePath>.minisig as an updater built with `key` checks the
// signature of the package it downloaded as `packageName`.
SignatureCheck checkPackageSignature(
    const QString &packagePath, const QString &packageName, const MinisignKey &key);

// Signs `file` with minisign's default trusted comment, which names the file,
// into `signature`. minisign asks for the key's password on the terminal (a
// key made with -W has none). Empty when it worked, else why not.
QString signWithMinisign(const QString &secretKey, const QString &file, const QString &signature);

// The key of a public key file; nothing when it is not one.
std::optional<MinisignKey> readPublicKey(const QString &path);

#endif // PUBLISH_SIGNING_H
