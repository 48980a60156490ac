#include "lint.h"

#include "rules.h"
#include "update/manifest.h"

#include <QJsonValue>
#include <QStringList>

namespace {

// kind and expires bind a signed manifest (read only by updaters with a key).
const char *const knownKeys[]
    = {"md5", "os", "compatible_os_version", "version", "package", "size", "kind", "expires"};

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a JSON boolean");
    case QJsonValue::Double:
        return QStringLiteral("a JSON number (%1)").arg(value.toDouble());
    case QJsonValue::Array:
        return QStringLiteral("a JSON array");
    case QJsonValue::Object:
        return QStringLiteral("a JSON object");
    default:
        return QStringLiteral("not a string");
    }
}

// The problem of a key that must hold a string; empty when it does.
QString notAString(const QJsonObject &manifest, const char *key, const QString &consequence)
{
    const QJsonValue value = manifest.value(QLatin1String(key));
    if (value.isUndefined())
        return QStringLiteral("%1 is missing: %2").arg(QLatin1String(key), consequence);
    if (!value.isString())
        return QStringLiteral("%1 is %2: the updater reads it as empty text, so %3")
            .arg(QLatin1String(key), typeName(value), consequence);
    return QString();
}

void add(QList<ManifestProblem> &problems, bool fatal, const QString &text)
{
    if (!text.isEmpty())
        problems.append(ManifestProblem {fatal, text});
}

void lintMd5(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    const QString missing = notAString(manifest, "md5", QStringLiteral("nothing is downloaded"));
    add(problems, true,
        missing.isEmpty() ? md5Problem(manifest[QLatin1String("md5")].toString()) : missing);
}

void lintOs(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    const QJsonValue os = manifest.value(QLatin1String("os"));
    if (os == QJsonValue(QStringLiteral("windows")))
        return;
    if (os.isString() && os.toString().trimmed().toLower() == QLatin1String("windows"))
        add(problems, true,
            QStringLiteral("os \"%1\": the updater accepts only \"windows\", in lower case")
                .arg(os.toString()));
    else if (os.isString())
        add(problems, true,
            QStringLiteral("os \"%1\": the updater only takes \"windows\"").arg(os.toString()));
    else
        add(problems, true,
            notAString(manifest, "os", QStringLiteral("write \"os\": \"windows\"")));
}

void lintConstraint(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    const QJsonValue value = manifest.value(QLatin1String("compatible_os_version"));
    if (value.isUndefined())
        return;
    if (!value.isString()) {
        add(problems, true,
            QStringLiteral("compatible_os_version is %1: the updater reads it as empty text, "
                           "which allows every Windows; write it as a string such as \"7+\"")
                .arg(typeName(value)));
        return;
    }
    const QString text = value.toString();
    // Padding alone changes nothing: the updater trims the constraint.
    add(problems, !constraintAllowsSomeWindows(text), constraintProblem(text));
}

void lintVersion(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    const QString missing = notAString(
        manifest, "version", QStringLiteral("the update is never offered; write it as a string"));
    if (!missing.isEmpty()) {
        add(problems, true, missing);
        return;
    }
    const QString version = manifest[QLatin1String("version")].toString();
    if (version.isEmpty())
        add(problems, true, QStringLiteral("version is empty: the update is never offered"));
    else if (version != version.trimmed())
        add(problems, false,
            QStringLiteral("version \"%1\" has surrounding spaces: write \"%2\"")
                .arg(version, version.trimmed()));
}

void lintPackage(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    const QString missing = notAString(manifest, "package",
        QStringLiteral("the updater accepts the manifest but downloads nothing"));
    add(problems, true,
        missing.isEmpty() ? packageNameProblem(manifest[QLatin1String("package")].toString())
                          : missing);
}

void lintSize(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    const QJsonValue value = manifest.value(QLatin1String("size"));
    if (!packageSizeOf(value))
        add(problems, true,
            QStringLiteral("size is %1: the updater refuses the package; write its length in "
                           "bytes as a whole JSON number")
                .arg(value.isString() ? QStringLiteral("\"%1\"").arg(value.toString())
                                      : typeName(value)));
}

void lintKeys(const QJsonObject &manifest, QList<ManifestProblem> &problems)
{
    for (const QString &key : manifest.keys()) {
        QString known;
        for (const char *name : knownKeys) {
            if (key == QLatin1String(name))
                known = key;
            else if (key.trimmed().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                known = QStringLiteral("did you mean \"%1\"?").arg(QLatin1String(name));
        }
        if (known != key)
            add(problems, false,
                QStringLiteral("key \"%1\" is ignored by the updater%2")
                    .arg(key, known.isEmpty() ? QString() : QStringLiteral(": ") + known));
    }
}

} // namespace

QList<ManifestProblem> lintManifest(const QJsonObject &manifest)
{
    QList<ManifestProblem> problems;
    lintMd5(manifest, problems);
    lintOs(manifest, problems);
    lintConstraint(manifest, problems);
    lintVersion(manifest, problems);
    lintPackage(manifest, problems);
    lintSize(manifest, problems);
    lintKeys(manifest, problems);
    return problems;
}
