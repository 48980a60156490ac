#include "app/updaterapp.h"

#include "transfer/downloadjob.h"
#include "update/manifest.h"

#include <QDir>
#include <QFile>

void UpdaterApp::checkForUpdates()
{
    DownloadJob::removeLeftovers(localPath_);
    const QDir available(localPath_ + QStringLiteral("/available"));
    qInfo("Checking for downloaded updates in %s", qUtf8Printable(available.absolutePath()));
    if (available.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort).isEmpty()) {
        qInfo("No update was already downloaded.");
        fetchUpdatesJson();
        return;
    }
    qInfo("Previously installed updates are yet to be installed.");
    QCoreApplication::quit();
}

void UpdaterApp::fetchUpdatesJson()
{
    const QUrl url = remoteUrl(QStringLiteral("updates.json"));
    const QString destination = localPath_ + QStringLiteral("/updates.json");
    if (QFile::exists(destination))
        QFile::remove(destination);
    // Unverified, so never flushed to disk: a copy lost to a power cut is
    // fetched again on the next run like every other.
    download(url, destination, QString());
    // With a key, a manifest nobody signed for this kind is never read.
    if (signingKey_ && QFile::exists(destination) && !checkManifestSignature(destination))
        QFile::remove(destination);
    processUpdatesJson();
}

void UpdaterApp::processUpdatesJson()
{
    // Kept open until the evaluation ends, across the package download.
    QFile file(localPath_ + QStringLiteral("/updates.json"));
    QByteArray content;
    const bool opened = file.open(QIODevice::ReadOnly);
    if (opened)
        content = file.readAll();
    const ManifestEvaluation evaluation = evaluateManifest(
        opened ? &content : nullptr, currentWindowsGeneration(), applicationVersion());
    if (evaluation.outcome != ManifestOutcome::Download) {
        qInfo("%s", qUtf8Printable(evaluation.message));
    } else if (!downloadPackage(evaluation.manifest)) {
        qInfo("    Updates could not be downloaded properly. Deleting partially downloaded "
              "files to try again.");
        clearAvailable();
    }
    QCoreApplication::quit();
}

bool UpdaterApp::downloadPackage(const QJsonObject &manifest)
{
    return downloadNamedFile(manifest, QStringLiteral("package"), true);
}

bool UpdaterApp::downloadNamedFile(const QJsonObject &manifest, const QString &key, bool withMd5)
{
    const QString name = manifest.value(key).toString();
    if (name.isEmpty())
        return true;
    if (!isSafePackageName(name)) {
        qInfo("    ERROR: Refusing package name %s: it would be stored outside the available "
              "directory.",
            qUtf8Printable(name));
        return false;
    }
    const QString destination = localPath_ + QStringLiteral("/available/") + name;
    const QString md5 = withMd5 ? manifest.value(QStringLiteral("md5")).toString() : QString();
    if (withMd5 && signingKey_)
        return downloadSigned(name, destination, md5);
    return download(remoteUrl(name), destination, md5);
}

void UpdaterApp::clearAvailable()
{
    // Never act on a path composed from nothing: it would name /available.
    if (localPath_.isEmpty())
        return;
    const QString path = localPath_ + QStringLiteral("/available/");
    QDir(path).removeRecursively();
    QDir().mkpath(path);
}
