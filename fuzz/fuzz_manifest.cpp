// Any bytes as updates.json; the last byte picks the running Windows generation.
#include "fuzz.h"

#include "update/manifest.h"
#include "update/version.h"

#include <QDir>
#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), int(size));
    const QString input = textFrom(data, size), current = QStringLiteral("2.1.1702011951");
    const WindowsGeneration generation = size ? data[size - 1] % 6 : 0;
    const ManifestEvaluation result = evaluateManifest(&content, generation, current);
    const QJsonObject manifest = QJsonDocument::fromJson(content).object();
    const auto at = [&](const char *key) { return manifest[QLatin1String(key)].toString(); };
    // A download only when every test passed; any other outcome says why.
    FUZZ_CHECK((result.outcome == ManifestOutcome::Download) == result.message.isEmpty(), input);
    if (result.outcome == ManifestOutcome::Download) {
        FUZZ_CHECK(!at("md5").isEmpty() && at("os") == QLatin1String("windows"), input);
        FUZZ_CHECK(osConstraintAllows(at("compatible_os_version"), generation), input);
        FUZZ_CHECK(compareVersions(at("version"), current) == 1, input);
    }
    // A name the updater accepts stays inside available once resolved; JSON escapes can spell
    // any text, so the raw input counts as a name too.
    const QString base = QStringLiteral("/srv/updates/available/");
    for (const QString &name : {at("package"), input}) {
        if (isSafePackageName(name))
            FUZZ_CHECK((QDir::cleanPath(base + name) + QLatin1Char('/')).startsWith(base), name);
    }
    return 0;
}
