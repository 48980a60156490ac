#ifndef LOCALTREE_H
#define LOCALTREE_H

#include "trust/trustedpath.h"

#include <QString>
#include <QStringList>

// The local path and the updater's own tree below it, made safe to work in
// for a privileged updater: the local path, and every directory above it,
// must be such that no other account can redirect it (see trustedpath.h);
// updates/, available/ and cache/ are created, or locked down, so that only
// the running account and the administrators can change them. Links are
// never followed. Everything stays held for as long as the tree is.
struct LocalTree {
    QString updatesPath; // <local>/updates
    QString error; // the ERROR line when the updater must not work here
    bool logTrusted = false; // whether updates/ may take the log all the same
    QStringList warnings; // what was locked down or removed, for the log
    TrustedPath local;
    FileEdge::Directory updates, available;
};

LocalTree prepareLocalTree(const QString &localPath);

#endif // LOCALTREE_H
