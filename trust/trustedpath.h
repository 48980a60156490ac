#ifndef TRUSTEDPATH_H
#define TRUSTEDPATH_H

#include "trust/fileedge.h"

#include <QString>

#include <vector>

// A path that nobody but the running account and the administrators can
// redirect, as OpenSSH's StrictModes reads it: walked from the root one
// entry at a time, never following a link that another account owns, each
// directory held while the next is looked at. Every directory above the
// last may let others add entries of their own, no more; the next entry
// must belong to a trusted account. The last is judged with the caller's
// scope. Once it passes, the path names the same directories for as long as
// the walk is held: no other account can rename, replace or re-permission
// any of them.
struct TrustedPath {
    FileEdge::Directory dir; // the last directory; not open for a file
    std::vector<FileEdge::Directory> held; // every directory above it, from the root
    QString refusal; // why the path cannot be trusted, "it" being the last entry
    bool missing = false; // the refusal: an entry on the way does not exist
    bool ok() const { return refusal.isEmpty(); }
};

enum class Last { Directory, File };

// `path` must be absolute.
TrustedPath openTrusted(const QString &path, Scope scope, Last last = Last::Directory);

// Why a link, a junction or another reparse point is refused.
const char *const linkRefusal = "it is a link or another reparse point";

// What became of a directory the updater claims as its own.
struct Claim {
    FileEdge::Directory dir; // open once it is a directory of its own
    QString refusal; // why it cannot be its own: missing, a file, a link, another account's
    QString lockedDown; // why it had to be locked down; empty when it had not
    QStringList removed; // what others could have placed in it, now gone
};

// Makes `name` in `parent` a directory that only the running account and
// the administrators can change: made when missing, locked down when others
// could change it and it is theirs to lock, refused otherwise. In one that
// had to be locked down, links and what others could change are removed.
Claim claimDirectory(
    const FileEdge::Directory &parent, const QString &name, FileEdge::Access access);

#endif // TRUSTEDPATH_H
