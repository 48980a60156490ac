#include "transfer/signature.h"

#include "transfer/sodiumedge.h"

#include <QFile>
#include <QList>

#include <algorithm>

namespace {

const int algorithmSize = 2;
const int keyIdSize = 8;
const int publicKeySize = 32;
const int signatureSize = 64;
const QByteArray untrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trustedPrefix = QByteArrayLiteral("trusted comment: ");

// The lines of a small text file; a last line feed and carriage returns
// before line feeds (a file that went through Windows) do not count.
QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// Base64 of exactly `size` bytes, written the one canonical way: Qt's
// decoder skips stray characters, so only a text that encodes back to
// itself is taken.
std::optional<QByteArray> decodeBase64(const QByteArray &text, int size)
{
    const QByteArray bytes = QByteArray::fromBase64(text);
    if (bytes.size() != size || bytes.toBase64() != text)
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<MinisignKey> parsePublicKey(const QByteArray &text)
{
    const QList<QByteArray> lines = linesOf(text);
    if (lines.isEmpty() || lines.size() > 2
        || (lines.size() == 2 && !lines.first().startsWith(untrustedPrefix)))
        return std::nullopt;
    const auto bytes = decodeBase64(lines.last(), algorithmSize + keyIdSize + publicKeySize);
    if (!bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    return MinisignKey {bytes->mid(algorithmSize, keyIdSize), bytes->right(publicKeySize)};
}

std::optional<MinisignSignature> parseSignature(const QByteArray &text)
{
    const QList<QByteArray> lines = linesOf(text);
    if (lines.size() != 4 || !lines.at(0).startsWith(untrustedPrefix)
        || !lines.at(2).startsWith(trustedPrefix))
        return std::nullopt;
    const auto bytes = decodeBase64(lines.at(1), algorithmSize + keyIdSize + signatureSize);
    const auto global = decodeBase64(lines.at(3), signatureSize);
    if (!bytes || !global)
        return std::nullopt;
    return MinisignSignature {bytes->left(algorithmSize), bytes->mid(algorithmSize, keyIdSize),
        bytes->right(signatureSize), lines.at(2).mid(trustedPrefix.size()), *global};
}

QByteArray signedFileName(const QByteArray &trustedComment)
{
    for (const QByteArray &field : trustedComment.split('\t')) {
        if (field.startsWith("file:"))
            return field.mid(5);
    }
    return QByteArray();
}

QString keyIdText(const QByteArray &keyId)
{
    QByteArray bigEndian(keyId.size(), '\0');
    std::reverse_copy(keyId.begin(), keyId.end(), bigEndian.begin());
    return QString::fromLatin1(bigEndian.toHex().toUpper());
}

SignatureCheck verifySignature(const QByteArray &signatureText, const QByteArray &blake2b512,
    const QString &packageName, const MinisignKey &key)
{
    SignatureCheck check;
    const auto signature = parseSignature(signatureText);
    if (!signature)
        return check;
    check.keyId = keyIdText(signature->keyId);
    if (signature->algorithm != "ED") {
        check.verdict
            = signature->algorithm == "Ed" ? SignatureVerdict::Legacy : SignatureVerdict::Malformed;
    } else if (signature->keyId != key.keyId) {
        check.verdict = SignatureVerdict::WrongKey;
    } else if (!ed25519Verify(signature->signature, blake2b512, key.key)
        || !ed25519Verify(signature->globalSignature,
            signature->signature + signature->trustedComment, key.key)) {
        check.verdict = SignatureVerdict::Invalid;
    } else if (QString::fromUtf8(signedFileName(signature->trustedComment)) != packageName) {
        check.verdict = SignatureVerdict::OtherFile;
    } else {
        check.verdict = SignatureVerdict::Verified;
    }
    return check;
}

SignatureVerdict readSignatureFile(const QString &path, QByteArray *text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return SignatureVerdict::Missing;
    *text = file.read(maxSignatureSize + 1);
    return text->size() > maxSignatureSize ? SignatureVerdict::Malformed
                                           : SignatureVerdict::Verified;
}

SignatureCheck verifySignatureFile(const QString &path, const QByteArray &blake2b512,
    const QString &packageName, const MinisignKey &key)
{
    QByteArray text;
    const SignatureVerdict read = readSignatureFile(path, &text);
    if (read != SignatureVerdict::Verified)
        return SignatureCheck {read, QString()};
    return verifySignature(text, blake2b512, packageName, key);
}

const char *signatureFailureReason(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::Verified:
        break;
    case SignatureVerdict::Missing:
        return "missing";
    case SignatureVerdict::Malformed:
        return "malformed";
    case SignatureVerdict::WrongKey:
        return "wrong key";
    case SignatureVerdict::Invalid:
        return "invalid";
    case SignatureVerdict::Legacy:
        return "legacy algorithm";
    case SignatureVerdict::OtherFile:
        return "other file";
    case SignatureVerdict::OtherKind:
        return "other kind";
    case SignatureVerdict::Expired:
        return "expired";
    }
    return "";
}
