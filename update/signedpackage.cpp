#include "app/updaterapp.h"

#include "transfer/downloadjob.h"
#include "transfer/partfile.h"
#include "trust/fileedge.h"
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

// The signature first: a package nobody signed is never fetched, and a part
// kept for the rest belongs to its signature too. The package is staged and
// its MD5 checked, then the signature checked over all of it.
bool UpdaterApp::downloadSigned(
    const QString &name, const QString &destPath, const Expectation &expectation)
{
    const std::optional<QByteArray> signature = fetchSignature(name);
    if (stopping_)
        return false;
    Expectation signedBody = expectation;
    signedBody.signature = signature.value_or(QByteArray());
    std::unique_ptr<DownloadJob> job;
    if (!signature) {
        qInfo("    Verifying signature of downloaded file ...");
        return reported("downloaded file", SignatureCheck {SignatureVerdict::Missing, QString()});
    }
    removeParts(localPath_,
        partName(destPath, expectation.md5, expectation.size, signedBody.signature));
    if (!transfer(remoteUrl(name), destPath, signedBody, &job) || !job)
        return false;
    qInfo("    Verifying signature of downloaded file ...");
    const SignatureCheck check
        = verifySignature(*signature, job->signatureDigest(), name, *signingKey_);
    if (!reported("downloaded file", check)) {
        job->discard(); // never gone on from
        return false;
    }
    job->store();
    return job->state() == DownloadJob::State::Stored;
}

std::optional<QByteArray> UpdaterApp::fetchSignature(const QString &name)
{
    // Beside the manifest copy: available/ holds packages only.
    const QString path = localPath_ + QLatin1Char('/') + name + QStringLiteral(".minisig");
    FileEdge::removeFile(path); // a dangling link too
    return fetchSmall(name + QStringLiteral(".minisig"), path, maxSignatureSize);
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
