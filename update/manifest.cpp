#include "update/manifest.h"

#include "update/version.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringList>

namespace {

ManifestEvaluation fail(
    ManifestOutcome outcome, const QString &message, const QJsonObject &manifest = QJsonObject())
{
    return ManifestEvaluation {outcome, message, manifest};
}

QString textOf(const QJsonObject &manifest, const char *key)
{
    return manifest.value(QLatin1String(key)).toString();
}

// Characters Windows refuses in a file name, and the separators of its paths
// (':' names a drive or a stream): one repository serves Windows and Linux
// updaters alike.
bool isForbiddenCharacter(QChar c)
{
    return c.unicode() < 0x20 || QStringLiteral("<>:\"|?*\\").contains(c);
}

// Names Windows opens as devices in every directory, whatever follows the
// first dot: NUL.pkg is the device NUL.
bool isDeviceName(const QString &segment)
{
    QString stem = segment.section(QLatin1Char('.'), 0, 0).toLower();
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    static const QStringList devices {QStringLiteral("con"), QStringLiteral("prn"),
        QStringLiteral("aux"), QStringLiteral("nul"), QStringLiteral("conin$"),
        QStringLiteral("conout$")};
    if (devices.contains(stem))
        return true;
    if (stem.size() != 4
        || !(stem.startsWith(QLatin1String("com")) || stem.startsWith(QLatin1String("lpt"))))
        return false;
    const QChar port = stem.at(3); // superscript digits count too
    return (port >= QLatin1Char('0') && port <= QLatin1Char('9')) || port == QChar(0xb9)
        || port == QChar(0xb2) || port == QChar(0xb3);
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
                           "Without MD5 hash, we cannot download updates!"),
            manifest);
    if (manifest.value(QLatin1String("os")) != QJsonValue(QStringLiteral("windows")))
        return fail(ManifestOutcome::WrongOs,
            QStringLiteral("Target OS for the update is not compatible."), manifest);
    if (!isOsCompatible(textOf(manifest, "compatible_os_version"), generation))
        return fail(ManifestOutcome::WrongOsVersion,
            QStringLiteral("Target OS Version is not compatible."), manifest);
    if (compareVersions(textOf(manifest, "version"), currentVersion) <= 0)
        return fail(ManifestOutcome::NotNewer,
            QStringLiteral("The most recent update has already been installed. No "
                           "updates found."),
            manifest);
    return ManifestEvaluation {ManifestOutcome::Download, QString(), manifest};
}

bool isSafePackageName(const QString &name)
{
    // Plain loops, no regular expression: those match nothing in text with
    // an unpaired surrogate, which a manifest can spell with a \u escape.
    if (name.startsWith(QLatin1Char('/')))
        return false;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate() || isForbiddenCharacter(c))
            return false;
    }
    for (const QString &segment : name.split(QLatin1Char('/'))) {
        // Windows drops a trailing dot or space: "..." would be "..".
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' '))
            || isDeviceName(segment))
            return false;
    }
    return true;
}

std::optional<qint64> packageSizeOf(const QJsonValue &value)
{
    if (value.isUndefined())
        return qint64(-1);
    // JSON numbers are doubles: whole numbers are exact up to 2^53.
    const double size = value.toDouble(-1);
    if (!value.isDouble() || size < 0 || size > 9007199254740992.0 || size != qint64(size))
        return std::nullopt;
    return qint64(size);
}
