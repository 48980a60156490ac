#include "promote.h"

#include "publish.h"
#include "rules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "loglines.h"
#include "update/version.h"

namespace {

QJsonObject manifestOf(const QString &directory)
{
    QFile file(directory + QStringLiteral("/updates.json"));
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

// Why the release of `source` cannot replace what `target` offers.
QString promoteProblem(const PromoteRequest &request, const QJsonObject &source,
    const QJsonObject &target, const QString &from)
{
    const QString text[] = {kindProblem(request.from), kindProblem(request.to),
        request.from == request.to ? QStringLiteral("--from and --to name the same kind")
                                   : expiryProblem(request.expires)};
    for (const QString &problem : text) {
        if (!problem.isEmpty())
            return problem;
    }
    const QString name = source.value(QLatin1String("package")).toString();
    if (source.isEmpty() || !packageNameProblem(name).isEmpty())
        return QStringLiteral("%1 offers no package to promote").arg(request.from);
    if (md5OfFile(from + QLatin1Char('/') + name) != source.value(QLatin1String("md5")).toString())
        return QStringLiteral("package %1 of %2 does not match its manifest's md5")
            .arg(name, request.from);
    const QString offered = target.value(QLatin1String("version")).toString();
    int order = 0;
    captureLog([&] {
        order = compareVersions(offered, source.value(QLatin1String("version")).toString());
    });
    if (!target.isEmpty() && order > 0)
        return QStringLiteral("%1 already offers version %2, newer than %3: a version number "
                              "never goes down; publish the older release again under a newer "
                              "version")
            .arg(request.to, offered, source.value(QLatin1String("version")).toString());
    if (QFileInfo::exists(from + QStringLiteral("/updates.json.minisig"))
        && request.secretKey.isEmpty())
        return QStringLiteral("the manifest of %1 is signed, and names its kind: give "
                              "--minisign-key to sign the one for %2")
            .arg(request.from, request.to);
    return QString();
}

} // namespace

PromoteResult promote(const PromoteRequest &request)
{
    PromoteResult result;
    const QDir root(request.root);
    const QString from = root.absoluteFilePath(request.from),
                  to = root.absoluteFilePath(request.to);
    QJsonObject manifest = manifestOf(from);
    result.message = promoteProblem(request, manifest, manifestOf(to), from);
    if (!result.message.isEmpty())
        return result;
    result.refused = false;
    result.packageName = manifest.value(QLatin1String("package")).toString();
    result.version = manifest.value(QLatin1String("version")).toString();
    const QString package = QLatin1Char('/') + result.packageName;
    const QString signature = from + package + QStringLiteral(".minisig");
    if (!QDir().mkpath(to) || !copyAtomically(from + package, to + package)
        || (QFileInfo::exists(signature)
            && !copyAtomically(signature, to + package + QStringLiteral(".minisig")))) {
        result.message = QStringLiteral("cannot copy the package to %1").arg(to);
        return result;
    }
    manifest.insert(QStringLiteral("kind"), request.to);
    manifest.insert(QStringLiteral("size"), double(QFileInfo(to + package).size()));
    if (!request.expires.isEmpty())
        manifest.insert(QStringLiteral("expires"),
            expiryText(request.expires, QDateTime::currentDateTimeUtc()));
    result.message = writeManifest(QJsonDocument(manifest).toJson(QJsonDocument::Indented),
        to + QStringLiteral("/updates.json"), request.secretKey);
    result.promoted = result.message.isEmpty();
    return result;
}
