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
    const QString &name, const QString &destPath, const QString &expectedMd5)
{
    std::unique_ptr<DownloadJob> job;
    if (!transfer(remoteUrl(name), destPath, expectedMd5, &job) || !job)
        return false;
    if (!reported("downloaded file", checkSignature(name, *job)))
        return false;
    job->store();
    return job->state() == DownloadJob::State::Stored;
}

QString UpdaterApp::fetchSignature(const QString &name)
{
    // Beside the manifest copy: available/ holds packages only.
    const QString path = localPath_ + QLatin1Char('/') + name + QStringLiteral(".minisig");
    if (QFile::exists(path))
        QFile::remove(path);
    return download(remoteUrl(name + QStringLiteral(".minisig")), path, QString()) ? path
                                                                                   : QString();
}

SignatureCheck UpdaterApp::checkSignature(const QString &name, DownloadJob &job)
{
    const QString path = fetchSignature(name);
    qInfo("    Verifying signature of downloaded file ...");
    if (path.isEmpty())
        return SignatureCheck {SignatureVerdict::Missing, QString()};
    return verifySignatureFile(path, job.signatureDigest(), name, *signingKey_);
}

bool UpdaterApp::checkManifestSignature(const QString &manifestPath)
{
    const QString path = fetchSignature(QStringLiteral("updates.json"));
    qInfo("Verifying signature of updates.json ...");
    return reported("updates.json",
        path.isEmpty() ? SignatureCheck {SignatureVerdict::Missing, QString()}
                       : verifyManifestFile(manifestPath, path, kind_,
                           QDateTime::currentDateTimeUtc(), *signingKey_));
}
