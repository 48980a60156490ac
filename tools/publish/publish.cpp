#include "publish.h"

#include "rules.h"
#include "signing.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

QString packageNameOf(const PublishRequest &request)
{
    return request.name.isEmpty() ? QFileInfo(request.packagePath).fileName() : request.name;
}

QString kindProblem(const QString &kind)
{
    if (kind.isEmpty())
        return QStringLiteral("the kind is empty: give pc, kiosk, mac or another kind");
    if (kind.contains(QLatin1Char('/')) || kind.contains(QLatin1Char('\\'))
        || kind == QLatin1String(".") || kind == QLatin1String(".."))
        return QStringLiteral("kind \"%1\" is not a single directory name").arg(kind);
    return QString();
}

QString packageFileProblem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("package %1 does not exist").arg(path);
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("package %1 is not a readable file").arg(path);
    return QString();
}

PublishResult failed(PublishResult result, const QString &message)
{
    result.status = PublishResult::Status::Failed;
    result.message = message;
    return result;
}

// Streams the package into place, hashing what it writes.
bool copyPackage(const QString &source, PublishResult &result)
{
    QFile in(source);
    QSaveFile out(result.packageTarget);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk;
    while (!(chunk = in.read(64 * 1024)).isEmpty()) {
        hash.addData(chunk);
        if (out.write(chunk) != chunk.size())
            return false;
        result.size += chunk.size();
    }
    if (in.error() != QFileDevice::NoError || !out.commit())
        return false;
    result.md5 = QString::fromLatin1(hash.result().toHex());
    return true;
}

bool copySignature(const QString &source, const QString &target)
{
    QFile in(source);
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = in.readAll();
    return in.error() == QFileDevice::NoError && out.write(text) == text.size() && out.commit();
}

bool writeManifest(const QByteArray &text, const QString &path)
{
    QSaveFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() && out.commit();
}

} // namespace

QByteArray manifestText(const QString &md5, const QString &version, const QString &constraint,
    const QString &packageName)
{
    QJsonObject manifest;
    manifest.insert(QStringLiteral("md5"), md5);
    manifest.insert(QStringLiteral("os"), QStringLiteral("windows"));
    manifest.insert(QStringLiteral("compatible_os_version"),
        constraint.isEmpty() ? QStringLiteral("any") : constraint);
    manifest.insert(QStringLiteral("version"), version);
    manifest.insert(QStringLiteral("package"), packageName);
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

QString publishRefusal(const PublishRequest &request)
{
    const QString signature = signatureSource(request.packagePath, request.signaturePath);
    const QString problems[] = {
        request.root.isEmpty() ? QStringLiteral("no repository root given") : QString(),
        kindProblem(request.kind),
        packageFileProblem(request.packagePath),
        packageNameProblem(packageNameOf(request)),
        versionProblem(request.version, request.currentVersion),
        request.constraint.isEmpty() ? QString() : constraintProblem(request.constraint),
        signature.isEmpty() ? QString() : signatureProblem(signature, packageNameOf(request)),
    };
    for (const QString &problem : problems) {
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

PublishResult publish(const PublishRequest &request)
{
    PublishResult result;
    result.message = publishRefusal(request);
    if (!result.message.isEmpty())
        return result;
    const QString directory = QDir(request.root).absoluteFilePath(request.kind);
    result.packageName = packageNameOf(request);
    result.packageTarget = directory + QLatin1Char('/') + result.packageName;
    result.manifestPath = directory + QStringLiteral("/updates.json");
    if (!QDir().mkpath(directory))
        return failed(result, QStringLiteral("cannot create directory %1").arg(directory));
    if (!copyPackage(request.packagePath, result))
        return failed(
            result, QStringLiteral("cannot copy the package to %1").arg(result.packageTarget));
    const QString signature = signatureSource(request.packagePath, request.signaturePath);
    if (!signature.isEmpty()) {
        result.signatureTarget = result.packageTarget + QStringLiteral(".minisig");
        if (!copySignature(signature, result.signatureTarget))
            return failed(result,
                QStringLiteral("cannot copy the signature to %1").arg(result.signatureTarget));
    }
    const QByteArray text
        = manifestText(result.md5, request.version, request.constraint, result.packageName);
    if (!writeManifest(text, result.manifestPath))
        return failed(result, QStringLiteral("cannot write %1").arg(result.manifestPath));
    result.status = PublishResult::Status::Published;
    return result;
}
