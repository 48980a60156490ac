#ifndef SIGNATURE_H
#define SIGNATURE_H

#include <QByteArray>
#include <QString>

#include <optional>

// minisign's formats and the decision whether a signature vouches for a
// package. Pure: every input is a parameter, so a table can test it; only
// readSignatureFile reads a file, for the others to decide on.

struct MinisignKey {
    QByteArray keyId; // 8 bytes, as stored
    QByteArray key; // 32-byte Ed25519 public key
};

struct MinisignSignature {
    QByteArray algorithm; // "ED": over the BLAKE2b-512 of the file; "Ed": legacy
    QByteArray keyId;
    QByteArray signature; // 64 bytes
    QByteArray trustedComment; // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature || trusted comment
};

// OtherKind and Expired: what a signed manifest binds (see signedmanifest.h).
enum class SignatureVerdict {
    Verified,
    Missing,
    Malformed,
    WrongKey,
    Invalid,
    Legacy,
    OtherFile,
    OtherKind,
    Expired,
};

struct SignatureCheck {
    SignatureVerdict verdict = SignatureVerdict::Malformed;
    QString keyId; // of the signature, once it could be read
};

// The largest signature file taken: minisign writes under 3 KiB (its
// comments stop at 1 KiB each).
const qint64 maxSignatureSize = 4 * 1024;

// A public key file as `minisign -G` writes it (comment line, key line), or
// the key line alone; nothing when it is not an Ed25519 minisign key.
std::optional<MinisignKey> parsePublicKey(const QByteArray &text);

// A .minisig file: four lines; nothing when it cannot be read as one.
std::optional<MinisignSignature> parseSignature(const QByteArray &text);

// The value of the trusted comment's "file:" field; null when there is none.
QByteArray signedFileName(const QByteArray &trustedComment);

// A key id as minisign prints it: 16 upper-case hex digits, little-endian.
QString keyIdText(const QByteArray &keyId);

// Whether the signature text, made with `key`, vouches for a file named
// `packageName` whose BLAKE2b-512 digest is `blake2b512`.
SignatureCheck verifySignature(const QByteArray &signatureText, const QByteArray &blake2b512,
    const QString &packageName, const MinisignKey &key);

// Reads the signature file at `path` into `text`: Verified when it could be
// read, Missing when it cannot be, Malformed when it is far longer than any
// signature.
SignatureVerdict readSignatureFile(const QString &path, QByteArray *text);

// verifySignature on the file at `path`, as readSignatureFile reads it.
SignatureCheck verifySignatureFile(const QString &path, const QByteArray &blake2b512,
    const QString &packageName, const MinisignKey &key);

// The short reason of a failed check, as the log names it.
const char *signatureFailureReason(SignatureVerdict verdict);

#endif // SIGNATURE_H
