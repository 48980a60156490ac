#include "update/signedmanifest.h"

#include "transfer/sodiumedge.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject objectOf(const QByteArray &manifest, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(manifest, &error);
    *ok = error.error == QJsonParseError::NoError && document.isObject();
    return document.object();
}

std::optional<QDateTime> expiryOf(const QJsonObject &manifest)
{
    const QJsonValue value = manifest.value(QLatin1String("expires"));
    if (value.isUndefined())
        return std::nullopt;
    const QDateTime at = QDateTime::fromString(value.toString(), Qt::ISODate);
    // A time without Z or an offset would be read in the kiosk's own zone.
    return at.timeSpec() == Qt::LocalTime ? QDateTime() : at;
}

} // namespace

std::optional<QDateTime> manifestExpiry(const QByteArray &manifest)
{
    bool ok = false;
    return expiryOf(objectOf(manifest, &ok));
}

SignatureVerdict manifestBinding(
    const QByteArray &manifest, const QString &kind, const QDateTime &now)
{
    bool ok = false;
    const QJsonObject object = objectOf(manifest, &ok);
    if (!ok)
        return SignatureVerdict::Verified;
    if (object.value(QLatin1String("kind")) != QJsonValue(kind))
        return SignatureVerdict::OtherKind;
    const std::optional<QDateTime> expiry = expiryOf(object);
    if (!expiry)
        return SignatureVerdict::Verified;
    if (!expiry->isValid())
        return SignatureVerdict::Malformed;
    return *expiry <= now ? SignatureVerdict::Expired : SignatureVerdict::Verified;
}

SignatureCheck verifyManifest(const QByteArray &manifest, const QByteArray &signatureText,
    const QString &kind, const QDateTime &now, const MinisignKey &key)
{
    Blake2b512 hash;
    hash.addData(manifest.constData(), manifest.size());
    SignatureCheck check
        = verifySignature(signatureText, hash.result(), QStringLiteral("updates.json"), key);
    if (check.verdict == SignatureVerdict::Verified)
        check.verdict = manifestBinding(manifest, kind, now);
    return check;
}

SignatureCheck verifyManifestFile(const QString &manifestPath, const QString &signaturePath,
    const QString &kind, const QDateTime &now, const MinisignKey &key)
{
    QFile file(manifestPath);
    QByteArray text;
    const SignatureVerdict read = file.open(QIODevice::ReadOnly)
        ? readSignatureFile(signaturePath, &text)
        : SignatureVerdict::Missing;
    if (read != SignatureVerdict::Verified)
        return SignatureCheck {read, QString()};
    return verifyManifest(file.readAll(), text, kind, now, key);
}
