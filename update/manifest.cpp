#include "update/manifest.h"

#include "update/version.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringList>

namespace {

ManifestEvaluation fail(ManifestOutcome outcome, const QString &message)
{
    return ManifestEvaluation {outcome, message, QJsonObject()};
}

QString textOf(const QJsonObject &manifest, const char *key)
{
    return manifest.value(QLatin1String(key)).toString();
}

} // namespace

ManifestEvaluation evaluateManifest(
    const QByteArray *content, WindowsGeneration generation, const QString &currentVersion)
{
    if (!content)
        return fail(
            ManifestOutcome::Unreadable, QStringLiteral("Could not open updates.json for reading"));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*content, &error);
    if (error.error != QJsonParseError::NoError)
        return fail(ManifestOutcome::ParseError,
            QStringLiteral("Error parsing updates.json: %1").arg(error.errorString()));
    const QJsonObject manifest = document.object();
    if (manifest.isEmpty())
        return fail(ManifestOutcome::NoInformation,
            QStringLiteral("No update information was found in updates.json"));
    if (textOf(manifest, "md5").isEmpty())
        return fail(ManifestOutcome::NoMd5,
            QStringLiteral("Updates.json does not report MD5 hash for its package. "
                           "Without MD5 hash, we cannot download updates!"));
    if (manifest.value(QLatin1String("os")) != QJsonValue(QStringLiteral("windows")))
        return fail(ManifestOutcome::WrongOs,
            QStringLiteral("Target OS for the update is not compatible."));
    if (!isOsCompatible(textOf(manifest, "compatible_os_version"), generation))
        return fail(ManifestOutcome::WrongOsVersion,
            QStringLiteral("Target OS Version is not compatible."));
    if (compareVersions(textOf(manifest, "version"), currentVersion) <= 0)
        return fail(ManifestOutcome::NotNewer,
            QStringLiteral("The most recent update has already been installed. No "
                           "updates found."));
    return ManifestEvaluation {ManifestOutcome::Download, QString(), manifest};
}

bool isSafePackageName(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QLatin1Char(':')) || name.contains(QChar(0)))
        return false;
    const QStringList segments = name.split(QLatin1Char('/'));
    return !segments.contains(QStringLiteral(".."));
}
