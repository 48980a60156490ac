#include "app/updaterapp.h"

#include "transfer/downloadjob.h"
#include "update/signedmanifest.h"

#include <QFile>

void UpdaterApp::setSigningKey(const QByteArray &keyText)
{
    if (keyText.isEmpty()) {
        signingKey_.reset();
        return;
    }
    // A key that cannot be read matches no signature: nothing gets through.
    signingKey_ = parsePublicKey(keyText).value_or(MinisignKey());
}

namespace {

// Logs the verdict on the signature of `subject`; true when it verified.
bool reported(const char *subject, const SignatureCheck &check)
{
    if (check.verdict != SignatureVerdict::Verified) {
        qInfo("    FAILURE: Signature of %s could not be verified: %s.", subject,
            signatureFailureReason(check.verdict));
        return false;
    }
    qInfo(
        "    SUCCESS: Signature of %s verified with key %s.", subject, qUtf8Printable(check.keyId));
    return true;
}

} // namespace

// The package is staged and its MD5 checked first; the signature is fetched
// only then, once the package's reply has left the download loop.
bool UpdaterApp::downloadSigned(
    const QString &name, const QString &destPath, const Expectation &expectation)
{
    std::unique_ptr<DownloadJob> job;
    if (!transfer(remoteUrl(name), destPath, expectation, &job) || !job)
        return false;
    const SignatureCheck check = checkSignature(name, *job);
    if (stopping_ || !reported("downloaded file", check))
        return false;
    job->store();
    return job->state() == DownloadJob::State::Stored;
}

std::optional<QByteArray> UpdaterApp::fetchSignature(const QString &name)
{
    // Beside the manifest copy: available/ holds packages only.
    const QString path = localPath_ + QLatin1Char('/') + name + QStringLiteral(".minisig");
    if (QFile::exists(path))
        QFile::remove(path);
    return fetchSmall(name + QStringLiteral(".minisig"), path, maxSignatureSize);
}

SignatureCheck UpdaterApp::checkSignature(const QString &name, DownloadJob &job)
{
    const std::optional<QByteArray> signature = fetchSignature(name);
    if (stopping_)
        return SignatureCheck {SignatureVerdict::Missing, QString()};
    qInfo("    Verifying signature of downloaded file ...");
    if (!signature)
        return SignatureCheck {SignatureVerdict::Missing, QString()};
    return verifySignature(*signature, job.signatureDigest(), name, *signingKey_);
}

bool UpdaterApp::checkManifestSignature(const QByteArray &manifest)
{
    const std::optional<QByteArray> signature = fetchSignature(QStringLiteral("updates.json"));
    if (stopping_)
        return false;
    qInfo("Verifying signature of updates.json ...");
    return reported("updates.json",
        !signature ? SignatureCheck {SignatureVerdict::Missing, QString()}
                   : verifyManifest(
                       manifest, *signature, kind_, QDateTime::currentDateTimeUtc(), *signingKey_));
}
