#include "trust/localtree.h"

#include "trust/fileedge.h"

#include <QFileInfo>

namespace {

QString refusal(const QString &path, const QString &reason)
{
    return QStringLiteral("ERROR: Refusing to work in %1: %2.").arg(path, reason);
}

// Claims `path` as the updater's own; returns why it cannot be, or nothing.
// `lockedDown` tells whether others could change it until now.
QString claim(const QString &path, LocalTree &tree, bool *lockedDown)
{
    const FileEdge::Claim own = FileEdge::claimDirectory(path, FileEdge::Access::Shared);
    *lockedDown = !own.lockedDown.isEmpty();
    if (*lockedDown)
        tree.warnings << QStringLiteral("WARNING: Locked down %1: %2.").arg(path, own.lockedDown);
    // Missing or a file: every later step that needs it fails on its own, as ever.
    return own.refusal;
}

} // namespace

LocalTree prepareLocalTree(const QString &localPath)
{
    LocalTree tree;
    tree.updatesPath = localPath + QStringLiteral("/updates");
    // The application may keep its data in the local path: it is checked,
    // never changed.
    const DirectoryFacts local = FileEdge::factsOf(QFileInfo(localPath).canonicalFilePath());
    const TrustVerdict verdict = FileEdge::verdictOn(local, Scope::Replace);
    if (verdict.trust != Trust::Own) {
        tree.error = refusal(localPath, verdict.reason);
        return tree;
    }
    bool lockedDown = false;
    QString reason = claim(tree.updatesPath, tree, &lockedDown);
    if (!reason.isEmpty()) {
        tree.error = refusal(tree.updatesPath, reason);
        return tree;
    }
    tree.logTrusted = true;
    for (const QString &name : {QStringLiteral("/available"), QStringLiteral("/cache")}) {
        const QString path = tree.updatesPath + name;
        reason = claim(path, tree, &lockedDown);
        if (!reason.isEmpty()) {
            tree.error = refusal(path, reason);
            return tree;
        }
        // What others could put there would pass for a verified package.
        if (lockedDown && name == QLatin1String("/available")) {
            FileEdge::removeEntries(path);
            tree.warnings << QStringLiteral("WARNING: Removed everything in %1: other accounts "
                                            "could have placed it there.")
                                 .arg(path);
        }
    }
    return tree;
}
