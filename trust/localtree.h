#ifndef LOCALTREE_H
#define LOCALTREE_H

#include <QString>
#include <QStringList>

// The local path and the updater's own tree below it, made safe to work in
// for a privileged updater: the local path must belong to the running
// account or an administrator, with no one else able to replace its
// entries; updates/, available/ and cache/ are created, or locked down, so
// that only those accounts can change them. Links are never followed.
struct LocalTree {
    QString updatesPath; // <local>/updates
    QString error; // the ERROR line when the updater must not work here
    bool logTrusted = false; // whether updates/ may take the log all the same
    QStringList warnings; // what was locked down or removed, for the log
};

LocalTree prepareLocalTree(const QString &localPath);

#endif // LOCALTREE_H
