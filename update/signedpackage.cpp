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

// The package is staged and its MD5 checked first; the signature is fetched
// only then, once the package's reply has left the download loop.
bool UpdaterApp::downloadSigned(
    const QString &name, const QString &destPath, const QString &expectedMd5)
{
    std::unique_ptr<DownloadJob> job;
    if (!transfer(remoteUrl(name), destPath, expectedMd5, &job) || !job)
        return false;
    const SignatureCheck check = checkSignature(name, *job);
    if (check.verdict != SignatureVerdict::Verified) {
        qInfo("    FAILURE: Signature of downloaded file could not be verified: %s.",
            signatureFailureReason(check.verdict));
        return false;
    }
    qInfo("    SUCCESS: Signature of downloaded file verified with key %s.",
        qUtf8Printable(check.keyId));
    job->store();
    return job->state() == DownloadJob::State::Stored;
}

SignatureCheck UpdaterApp::checkSignature(const QString &name, DownloadJob &job)
{
    const QString signatureName = name + QStringLiteral(".minisig");
    // Beside the manifest copy: available/ holds packages only.
    const QString path = localPath_ + QLatin1Char('/') + signatureName;
    if (QFile::exists(path))
        QFile::remove(path);
    const bool fetched = download(remoteUrl(signatureName), path, QString());
    qInfo("    Verifying signature of downloaded file ...");
    if (!fetched)
        return SignatureCheck {SignatureVerdict::Missing, QString()};
    return verifySignatureFile(path, job.signatureDigest(), name, *signingKey_);
}

bool UpdaterApp::checkManifestSignature(const QString &manifestPath)
{
    const QString signaturePath = manifestPath + QStringLiteral(".minisig");
    if (QFile::exists(signaturePath))
        QFile::remove(signaturePath);
    const bool fetched
        = download(remoteUrl(QStringLiteral("updates.json.minisig")), signaturePath, QString());
    qInfo("Verifying signature of updates.json ...");
    const SignatureCheck check = fetched ? verifyManifestFile(manifestPath, signaturePath, kind_,
                                     QDateTime::currentDateTimeUtc(), *signingKey_)
                                         : SignatureCheck {SignatureVerdict::Missing, QString()};
    if (check.verdict != SignatureVerdict::Verified) {
        qInfo("    FAILURE: Signature of updates.json could not be verified: %s.",
            signatureFailureReason(check.verdict));
        return false;
    }
    qInfo("    SUCCESS: Signature of updates.json verified with key %s.",
        qUtf8Printable(check.keyId));
    return true;
}
