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
#include <QTemporaryDir>

namespace {

QString packageNameOf(const PublishRequest &request)
{
    return request.name.isEmpty() ? QFileInfo(request.packagePath).fileName() : request.name;
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

QString signingProblem(const PublishRequest &request)
{
    if (!request.secretKey.isEmpty() && !request.signaturePath.isEmpty())
        return QStringLiteral("give --signature or --minisign-key, not both");
    if (!request.secretKey.isEmpty() && !QFileInfo(request.secretKey).isFile())
        return QStringLiteral("secret key %1 does not exist").arg(request.secretKey);
    const QString signature = signatureSource(request.packagePath, request.signaturePath);
    if (request.secretKey.isEmpty() && !signature.isEmpty())
        return signatureProblem(signature, packageNameOf(request));
    return QString();
}

// Signs `file` and puts the signature at `target` through a temporary file on
// the repository's file system, so that readers see a whole signature.
QString signInto(const QString &secretKey, const QString &file, const QString &target)
{
    const QTemporaryDir work(QFileInfo(target).absolutePath() + QStringLiteral("/.publish-XXXXXX"));
    const QString signature = work.filePath(QStringLiteral("signature"));
    if (!work.isValid())
        return QStringLiteral("cannot write in %1").arg(QFileInfo(target).absolutePath());
    const QString problem = signWithMinisign(secretKey, file, signature);
    if (!problem.isEmpty())
        return problem;
    return copyAtomically(signature, target) ? QString()
                                             : QStringLiteral("cannot write %1").arg(target);
}

// The package's signature beside it: made with the key where the package lies,
// so that it names the package as published, or the one given.
QString publishPackageSignature(const PublishRequest &request, PublishResult &result)
{
    const QString target = result.packageTarget + QStringLiteral(".minisig");
    if (!request.secretKey.isEmpty()) {
        result.signatureTarget = target;
        return signInto(request.secretKey, result.packageTarget, target);
    }
    const QString source = signatureSource(request.packagePath, request.signaturePath);
    if (source.isEmpty())
        return QString();
    result.signatureTarget = target;
    return copyAtomically(source, target)
        ? QString()
        : QStringLiteral("cannot copy the signature to %1").arg(target);
}

} // namespace

QString kindProblem(const QString &kind)
{
    if (kind.isEmpty())
        return QStringLiteral("the kind is empty: give pc, kiosk, mac or another kind");
    if (kind.contains(QLatin1Char('/')) || kind.contains(QLatin1Char('\\'))
        || kind == QLatin1String(".") || kind == QLatin1String(".."))
        return QStringLiteral("kind \"%1\" is not a single directory name").arg(kind);
    return QString();
}

bool copyAtomically(const QString &source, const QString &target, QString *md5, qint64 *size)
{
    QFile in(source);
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk;
    while (!(chunk = in.read(64 * 1024)).isEmpty()) {
        hash.addData(chunk);
        if (out.write(chunk) != chunk.size())
            return false;
        if (size)
            *size += chunk.size();
    }
    if (in.error() != QFileDevice::NoError || !out.commit())
        return false;
    if (md5)
        *md5 = QString::fromLatin1(hash.result().toHex());
    return true;
}

QString md5OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

bool writeAtomically(const QByteArray &text, const QString &path)
{
    QSaveFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() && out.commit();
}

QString writeManifest(const QByteArray &text, const QString &path, const QString &secretKey)
{
    if (!secretKey.isEmpty()) {
        // Signed as a copy of its own name, so that the signature names updates.json.
        const QTemporaryDir work(
            QFileInfo(path).absolutePath() + QStringLiteral("/.publish-XXXXXX"));
        const QString copy = work.filePath(QStringLiteral("updates.json"));
        if (!work.isValid() || !writeAtomically(text, copy))
            return QStringLiteral("cannot write in %1").arg(QFileInfo(path).absolutePath());
        const QString problem = signInto(secretKey, copy, path + QStringLiteral(".minisig"));
        if (!problem.isEmpty())
            return problem;
    }
    return writeAtomically(text, path) ? QString() : QStringLiteral("cannot write %1").arg(path);
}

QByteArray manifestText(const QString &md5, qint64 size, const QString &version,
    const QString &constraint, const QString &packageName, const QString &kind,
    const QString &expires)
{
    QJsonObject manifest;
    manifest.insert(QStringLiteral("md5"), md5);
    // Updaters that know it refuse a body of any other length before storing it.
    manifest.insert(QStringLiteral("size"), double(size));
    manifest.insert(QStringLiteral("os"), QStringLiteral("windows"));
    manifest.insert(QStringLiteral("compatible_os_version"),
        constraint.isEmpty() ? QStringLiteral("any") : constraint);
    manifest.insert(QStringLiteral("version"), version);
    manifest.insert(QStringLiteral("package"), packageName);
    manifest.insert(QStringLiteral("kind"), kind);
    if (!expires.isEmpty())
        manifest.insert(QStringLiteral("expires"), expires);
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

QString expiryText(const QString &duration, const QDateTime &now)
{
    bool ok = false;
    const qint64 count = duration.left(duration.size() - 1).toLongLong(&ok);
    const QChar unit = duration.isEmpty() ? QChar() : duration.at(duration.size() - 1);
    if (!ok || count <= 0 || count > 100000
        || (unit != QLatin1Char('d') && unit != QLatin1Char('h')))
        return QString();
    return now.toUTC()
        .addSecs(count * (unit == QLatin1Char('d') ? 86400 : 3600))
        .toString(Qt::ISODate);
}

QString expiryProblem(const QString &duration)
{
    if (duration.isEmpty() || !expiryText(duration, QDateTime::currentDateTimeUtc()).isEmpty())
        return QString();
    return QStringLiteral("expiry \"%1\" is not a number of days or hours such as 30d or 12h")
        .arg(duration);
}

QString publishRefusal(const PublishRequest &request)
{
    const QString problems[] = {
        request.root.isEmpty() ? QStringLiteral("no repository root given") : QString(),
        kindProblem(request.kind),
        packageFileProblem(request.packagePath),
        packageNameProblem(packageNameOf(request)),
        versionProblem(request.version, request.currentVersion),
        request.constraint.isEmpty() ? QString() : constraintProblem(request.constraint),
        signingProblem(request),
        expiryProblem(request.expires),
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
    if (!copyAtomically(request.packagePath, result.packageTarget, &result.md5, &result.size))
        return failed(
            result, QStringLiteral("cannot copy the package to %1").arg(result.packageTarget));
    const QString problem = publishPackageSignature(request, result);
    if (!problem.isEmpty())
        return failed(result, problem);
    const QByteArray text = manifestText(result.md5, result.size, request.version,
        request.constraint, result.packageName, request.kind,
        expiryText(request.expires, QDateTime::currentDateTimeUtc()));
    const QString written = writeManifest(text, result.manifestPath, request.secretKey);
    if (!written.isEmpty())
        return failed(result, written);
    if (!request.secretKey.isEmpty())
        result.manifestSignatureTarget = result.manifestPath + QStringLiteral(".minisig");
    result.status = PublishResult::Status::Published;
    return result;
}
