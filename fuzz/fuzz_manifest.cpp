// Any bytes as updates.json; the last byte picks the running Windows
// generation, so seed files choose it by their final character.
#include "fuzzsupport.h"

#include "update/manifest.h"
#include "update/version.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonValue>

namespace {

const QString currentVersion = QStringLiteral("2.1.1702011951");

QString textOf(const QJsonObject &manifest, const char *key)
{
    return manifest.value(QLatin1String(key)).toString();
}

// A name the updater accepts must stay inside the available directory once
// the path is resolved, whatever the segments say.
void checkPackageName(const QString &name)
{
    if (!isSafePackageName(name))
        return;
    const QString base = QStringLiteral("/srv/updates/available");
    const QString resolved = QDir::cleanPath(base + QStringLiteral("/") + name);
    FUZZ_CHECK(
        resolved == base || resolved.startsWith(base + QLatin1Char('/')), Fuzz::quoted(name));
    FUZZ_CHECK(!name.contains(QChar(0)), Fuzz::quoted(name));
}

void checkDownload(const ManifestEvaluation &result, WindowsGeneration generation)
{
    const QJsonObject &manifest = result.manifest;
    FUZZ_CHECK(result.message.isEmpty(), Fuzz::quoted(result.message));
    FUZZ_CHECK(!textOf(manifest, "md5").isEmpty(), Fuzz::quoted(textOf(manifest, "md5")));
    FUZZ_CHECK(manifest.value(QLatin1String("os")) == QJsonValue(QStringLiteral("windows")),
        Fuzz::quoted(QString::fromUtf8(QJsonDocument(manifest).toJson(QJsonDocument::Compact))));
    const QString constraint = textOf(manifest, "compatible_os_version");
    FUZZ_CHECK(osConstraintAllows(constraint, generation), Fuzz::quoted(constraint));
    const QString version = textOf(manifest, "version");
    FUZZ_CHECK(compareVersions(version, currentVersion) == 1, Fuzz::quoted(version));
}

// Only the constraint test looks at the generation, so another generation
// can only move an outcome between that test and the ones after it.
bool dependsOnGeneration(ManifestOutcome outcome)
{
    return outcome == ManifestOutcome::WrongOsVersion || outcome == ManifestOutcome::NotNewer
        || outcome == ManifestOutcome::Download;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceMessages();
    const ManifestEvaluation unreadable = evaluateManifest(nullptr, 4, currentVersion);
    FUZZ_CHECK(unreadable.outcome == ManifestOutcome::Unreadable, Fuzz::quoted(unreadable.message));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const WindowsGeneration generation = size ? data[size - 1] % 6 : 0;
    const ManifestEvaluation result = evaluateManifest(&content, generation, currentVersion);
    const auto input = [&content] { return Fuzz::quoted(QString::fromUtf8(content)); };

    FUZZ_CHECK(result.outcome != ManifestOutcome::Unreadable, Fuzz::quoted(result.message));
    if (result.outcome == ManifestOutcome::Download)
        checkDownload(result, generation);
    else
        FUZZ_CHECK(!result.message.isEmpty(), input());

    const ManifestEvaluation other
        = evaluateManifest(&content, (generation + 3) % 6, currentVersion);
    FUZZ_CHECK(other.outcome == result.outcome
            || (dependsOnGeneration(other.outcome) && dependsOnGeneration(result.outcome)),
        input());

    const QJsonObject manifest = QJsonDocument::fromJson(content).object();
    checkPackageName(textOf(manifest, "package"));
    // JSON escapes can spell any text, so the raw input counts as a name too.
    checkPackageName(Fuzz::textFrom(data, size));
    return 0;
}
