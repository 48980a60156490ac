#include "rules.h"

#include "loglines.h"
#include "update/manifest.h"
#include "update/version.h"

#include <QRegularExpression>

QString builtUpdaterVersion()
{
    return QStringLiteral(UPDATER_VERSION);
}

QString packageNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the package name is empty");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("package name \"%1\" contains a path: give the bare file name, "
                              "which is also the name the updater stores it under")
            .arg(name);
    if (!isSafePackageName(name))
        return QStringLiteral("package name \"%1\" is refused by the updater, which would "
                              "discard the download")
            .arg(name);
    if (name.startsWith(QLatin1Char('.')))
        return QStringLiteral("package name \"%1\" is hidden: the updater does not count a "
                              "hidden file as a pending package and would download it on "
                              "every run")
            .arg(name);
    if (name == QLatin1String("updates.json"))
        return QStringLiteral("package name \"updates.json\" is the manifest's own name");
    return QString();
}

bool constraintAllowsSomeWindows(const QString &constraint)
{
    for (WindowsGeneration generation = 0; generation <= 5; ++generation) {
        if (osConstraintAllows(constraint, generation))
            return true;
    }
    return false;
}

QString constraintProblem(const QString &constraint)
{
    if (!constraintAllowsSomeWindows(constraint)) {
        if (constraint.trimmed().toLower() == QLatin1String("any"))
            return QStringLiteral("constraint \"%1\" rejects every Windows: only \"any\" in "
                                  "lower case without spaces (or no constraint) means any")
                .arg(constraint);
        return QStringLiteral("constraint \"%1\" rejects every Windows: write 7, 8, 8.1 or 10, "
                              "optionally followed by + (or later) or - (or earlier)")
            .arg(constraint);
    }
    if (constraint != constraint.trimmed())
        return QStringLiteral("constraint \"%1\" has surrounding spaces: write \"%2\"")
            .arg(constraint, constraint.trimmed());
    return QString();
}

QString versionProblem(const QString &version, const QString &currentVersion)
{
    if (version.isEmpty())
        return QStringLiteral("the version is empty");
    if (version != version.trimmed())
        return QStringLiteral("version \"%1\" has surrounding spaces: write \"%2\"")
            .arg(version, version.trimmed());
    int order = 0;
    captureLog([&]() { order = compareVersions(version, currentVersion); });
    if (order <= 0)
        return QStringLiteral("version %1 is not newer than %2: an updater of version %2 "
                              "would never download it")
            .arg(version, currentVersion);
    return QString();
}

QString md5Problem(const QString &md5)
{
    static const QRegularExpression lower(QStringLiteral("^[0-9a-f]{32}$"));
    static const QRegularExpression anyCase(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (lower.match(md5).hasMatch())
        return QString();
    if (anyCase.match(md5).hasMatch())
        return QStringLiteral("md5 \"%1\" has upper-case digits: the updater compares digests "
                              "case-sensitively and would discard the download; write \"%2\"")
            .arg(md5, md5.toLower());
    return QStringLiteral("md5 \"%1\" is not 32 hexadecimal digits: the updater would discard "
                          "the download")
        .arg(md5);
}

WindowsGeneration generationOfName(const QString &name)
{
    static const char *const names[] = {"vista", "7", "8", "8.1", "10", "other"};
    const QString lower = name.trimmed().toLower();
    if (lower == QLatin1String("11"))
        return windowsGenerationOf(10, 0, 22000);
    for (WindowsGeneration generation = 0; generation <= 5; ++generation) {
        if (lower == QLatin1String(names[generation]))
            return generation;
    }
    return -1;
}

QString generationLabel(WindowsGeneration generation)
{
    static const char *const labels[] = {"Windows Vista or earlier", "Windows 7", "Windows 8",
        "Windows 8.1", "Windows 10", "Windows 11 or another later system"};
    if (generation < 0 || generation > 5)
        return QStringLiteral("an unknown system");
    return QLatin1String(labels[generation]);
}
