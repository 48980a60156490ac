#include "check.h"

#include "loglines.h"
#include "publish.h"
#include "rules.h"
#include "signing.h"
#include "update/signedmanifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Outcomes that no updater on any system gets past: publishing mistakes.
bool rejectsEverywhere(ManifestOutcome outcome)
{
    switch (outcome) {
    case ManifestOutcome::Unreadable:
    case ManifestOutcome::ParseError:
    case ManifestOutcome::NoInformation:
    case ManifestOutcome::NoMd5:
    case ManifestOutcome::WrongOs:
        return true;
    default:
        return false;
    }
}

bool hasFatal(const QList<ManifestProblem> &problems)
{
    for (const ManifestProblem &problem : problems) {
        if (problem.fatal)
            return true;
    }
    return false;
}

void checkDigest(const QJsonObject &manifest, const QString &manifestPath, CheckReport &report)
{
    const QString md5 = manifest.value(QLatin1String("md5")).toString();
    if (!packageNameProblem(report.packageName).isEmpty())
        return;
    report.packagePath = QFileInfo(manifestPath).absoluteDir().filePath(report.packageName);
    if (!QFileInfo(report.packagePath).isFile()) {
        report.digest = DigestState::Missing;
        report.problems.append(ManifestProblem {false,
            QStringLiteral("package %1 is not next to the manifest: an updater would fail to "
                           "download it")
                .arg(report.packageName)});
        return;
    }
    report.packageMd5 = md5OfFile(report.packagePath);
    const qint64 actual = QFileInfo(report.packagePath).size();
    const std::optional<qint64> size = packageSizeOf(manifest.value(QLatin1String("size")));
    if (size && *size >= 0 && *size != actual)
        report.problems.append(ManifestProblem {true,
            QStringLiteral("package %1 has %2 bytes, not the %3 that size gives: the updater "
                           "would discard it")
                .arg(report.packageName)
                .arg(actual)
                .arg(*size)});
    // A malformed digest is reported as such; the file's digest shows the fix.
    if (!md5Problem(md5).isEmpty())
        return;
    // Exactly the updater's comparison: case-sensitive, nothing trimmed.
    if (report.packageMd5 == md5) {
        report.digest = DigestState::Verified;
        return;
    }
    report.digest = DigestState::Mismatch;
    report.problems.append(ManifestProblem {true,
        QStringLiteral("package %1 has the digest %2, not %3: the updater would discard it")
            .arg(report.packageName, report.packageMd5, md5)});
}

// What an updater built with the key would decide after the digest.
void checkSignature(const MinisignKey &key, CheckReport &report)
{
    report.signature = checkPackageSignature(report.packagePath, report.packageName, key);
    if (report.signature->verdict == SignatureVerdict::Verified)
        return;
    report.problems.append(ManifestProblem {true,
        QStringLiteral("signature of package %1 could not be verified: %2: an updater built with "
                       "key %3 would discard the package")
            .arg(report.packageName,
                QLatin1String(signatureFailureReason(report.signature->verdict)),
                keyIdText(key.keyId))});
}

// What an updater built with the key decides before it reads the manifest,
// and how long a signed manifest stays valid.
void checkManifestSignature(
    const CheckRequest &request, const QByteArray &content, CheckReport &report)
{
    const std::optional<QDateTime> expiry = manifestExpiry(content);
    if (expiry && expiry->isValid() && *expiry > request.now
        && request.now.secsTo(*expiry) < 7 * 86400)
        report.problems.append(ManifestProblem {false,
            QStringLiteral("the manifest expires at %1, in less than 7 days: publish it again "
                           "before then, or updaters with a key stop taking it")
                .arg(expiry->toString(Qt::ISODate))});
    if (!request.key)
        return;
    report.manifestSignature = verifyManifestFile(request.manifestPath,
        request.manifestPath + QStringLiteral(".minisig"), request.kind, request.now, *request.key);
    if (report.manifestSignature->verdict != SignatureVerdict::Verified)
        report.problems.append(ManifestProblem {true,
            QStringLiteral("signature of updates.json could not be verified: %1: an updater built "
                           "with key %2 for kind %3 would not read the manifest")
                .arg(QLatin1String(signatureFailureReason(report.manifestSignature->verdict)),
                    keyIdText(request.key->keyId), request.kind)});
}

Verdict verdictOf(const CheckReport &report)
{
    if (rejectsEverywhere(report.outcome) || hasFatal(report.problems))
        return Verdict::Invalid;
    return report.outcome == ManifestOutcome::Download ? Verdict::WouldDownload
                                                       : Verdict::WouldNotDownload;
}

} // namespace

CheckReport checkManifest(const CheckRequest &request)
{
    CheckReport report;
    QFile file(request.manifestPath);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray content = opened ? file.readAll() : QByteArray();
    if (content.size() > maxManifestSize)
        report.problems.append(ManifestProblem {true,
            QStringLiteral("the manifest has %1 bytes, more than the %2 an updater reads")
                .arg(content.size())
                .arg(maxManifestSize)});
    ManifestEvaluation evaluation {ManifestOutcome::Unreadable, QString(), QJsonObject()};
    report.logLines = captureLog([&]() {
        evaluation = evaluateManifest(
            opened ? &content : nullptr, request.generation, request.currentVersion);
    });
    report.outcome = evaluation.outcome;
    if (!evaluation.message.isEmpty())
        report.logLines.append(evaluation.message);
    const QJsonObject manifest = QJsonDocument::fromJson(content).object();
    if (!manifest.isEmpty()) {
        report.problems = lintManifest(manifest);
        report.packageName = manifest.value(QLatin1String("package")).toString();
        checkDigest(manifest, request.manifestPath, report);
        if (request.key && !report.packagePath.isEmpty() && report.digest != DigestState::Missing)
            checkSignature(*request.key, report);
    }
    if (opened)
        checkManifestSignature(request, content, report);
    report.verdict = verdictOf(report);
    return report;
}
