#include "trust/localtree.h"

namespace {

QString refusal(const QString &path, const QString &reason)
{
    return QStringLiteral("ERROR: Refusing to work in %1: %2.").arg(path, reason);
}

// Claims `name` in `parent` (known as `path`) as the updater's own, noting
// in the tree what that took; false, with the tree's error, when it cannot be.
bool claim(const FileEdge::Directory &parent, const QString &name, const QString &path,
    LocalTree &tree, FileEdge::Directory *dir, bool *lockedDown = nullptr)
{
    Claim own = claimDirectory(parent, name, FileEdge::Access::Shared);
    if (!own.lockedDown.isEmpty())
        tree.warnings << QStringLiteral("WARNING: Locked down %1: %2.").arg(path, own.lockedDown);
    if (!own.removed.isEmpty())
        tree.warnings << QStringLiteral("WARNING: Removed from %1 what other accounts could "
                                        "have placed there: %2.")
                             .arg(path, own.removed.join(QStringLiteral(", ")));
    if (lockedDown)
        *lockedDown = !own.lockedDown.isEmpty();
    if (!own.refusal.isEmpty())
        tree.error = refusal(path, own.refusal);
    *dir = std::move(own.dir);
    return own.refusal.isEmpty();
}

} // namespace

LocalTree prepareLocalTree(const QString &localPath)
{
    LocalTree tree;
    tree.updatesPath = localPath + QStringLiteral("/updates");
    // The application may keep its data in the local path: it is checked,
    // never changed.
    tree.local = openTrusted(localPath, Scope::Write);
    if (!tree.local.ok()) {
        tree.error = refusal(localPath, tree.local.refusal);
        return tree;
    }
    if (!claim(tree.local.dir, QStringLiteral("updates"), tree.updatesPath, tree, &tree.updates))
        return tree;
    tree.logTrusted = true;
    bool lockedDown = false;
    const QString available = tree.updatesPath + QStringLiteral("/available");
    if (!claim(tree.updates, QStringLiteral("available"), available, tree, &tree.available,
            &lockedDown))
        return tree;
    // What others could put there would pass for a verified package.
    if (lockedDown) {
        FileEdge::removeEntries(tree.available);
        tree.warnings << QStringLiteral("WARNING: Removed everything in %1: other accounts "
                                        "could have placed it there.")
                             .arg(available);
    }
    FileEdge::Directory cache;
    claim(tree.updates, QStringLiteral("cache"), tree.updatesPath + QStringLiteral("/cache"), tree,
        &cache);
    return tree;
}
