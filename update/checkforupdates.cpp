#include "app/updaterapp.h"

#include "transfer/downloadjob.h"
#include "transfer/partfile.h"
#include "trust/localtree.h"
#include "update/manifest.h"

#include <QDir>
#include <QFile>

void UpdaterApp::checkForUpdates()
{
    DownloadJob::removeLeftovers(localPath_);
    const QDir available(localPath_ + QStringLiteral("/available"));
    qInfo("Checking for downloaded updates in %s", qUtf8Printable(available.absolutePath()));
    const QStringList pending
        = available.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    if (pending.isEmpty()) {
        qInfo("No update was already downloaded.");
        fetchUpdatesJson();
        return;
    }
    record_.package = pending.first();
    decide(
        Outcome::Waiting, QStringLiteral("Previously installed updates are yet to be installed."));
    QCoreApplication::quit();
}

void UpdaterApp::fetchUpdatesJson()
{
    const QString destination = localPath_ + QStringLiteral("/updates.json");
    FileEdge::removeFile(destination); // a dangling link too
    // Unverified, so never flushed to disk: a copy lost to a power cut is
    // fetched again on the next run like every other. What is evaluated is
    // the bytes that arrived, never what lies on disk by then.
    std::optional<QByteArray> manifest
        = fetchSmall(QStringLiteral("updates.json"), destination, maxManifestSize);
    // With a key, a manifest nobody signed for this kind is never read.
    if (!stopping_ && signingKey_ && manifest && !checkManifestSignature(*manifest)) {
        FileEdge::removeFile(destination);
        manifest.reset();
    }
    if (!stopping_)
        processUpdatesJson(manifest ? &*manifest : nullptr);
}

void UpdaterApp::processUpdatesJson(const QByteArray *content)
{
    const ManifestEvaluation evaluation
        = evaluateManifest(content, currentWindowsGeneration(), applicationVersion());
    // A manifest that was read no longer offers what a kept part is of.
    const bool read = evaluation.outcome != ManifestOutcome::Unreadable
        && evaluation.outcome != ManifestOutcome::ParseError
        && evaluation.outcome != ManifestOutcome::NoInformation;
    record_.offered = Status::offeredBy(evaluation.manifest);
    const QString package = evaluation.manifest.value(QStringLiteral("package")).toString();
    if (evaluation.outcome != ManifestOutcome::Download) {
        if (read)
            removeParts(localPath_);
        decide(Status::outcomeOf(evaluation.outcome), evaluation.message);
    } else if (downloadPackage(evaluation.manifest)) {
        // The download's last line tells; with no package named, the version check's.
        record_.package = package;
        settle(package.isEmpty() ? Outcome::UpToDate : Outcome::Downloaded, record_.lastLine);
    } else if (!stopping_) {
        decide(Outcome::Failed,
            QStringLiteral("    Updates could not be downloaded properly. Deleting partially "
                           "downloaded files to try again."));
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
        removeParts(localPath_);
        qInfo("    ERROR: Refusing package name %s: it would be stored outside the available "
              "directory.",
            qUtf8Printable(name));
        return false;
    }
    Expectation expectation;
    expectation.md5 = withMd5 ? manifest.value(QStringLiteral("md5")).toString() : QString();
    const std::optional<qint64> size = packageSizeOf(manifest.value(QStringLiteral("size")));
    if (!size) {
        removeParts(localPath_);
        qInfo("    ERROR: The manifest gives no usable size for %s.", qUtf8Printable(name));
        return false;
    }
    expectation.size = *size;
    const QString destination = localPath_ + QStringLiteral("/available/") + name;
    if (withMd5 && signingKey_)
        return downloadSigned(name, destination, expectation);
    removeParts(localPath_, partName(destination, expectation.md5, expectation.size, QByteArray()));
    return transfer(remoteUrl(name), destination, expectation, nullptr);
}

void UpdaterApp::clearAvailable()
{
    // Entries go one by one, through the directory claimed at the start: a
    // link or junction planted in available is removed itself, never what it
    // points to. The directory stays, with the permissions it was given.
    if (tree_ && tree_->available.isOpen())
        FileEdge::removeEntries(tree_->available);
}
