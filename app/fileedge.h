#ifndef FILEEDGE_H
#define FILEEDGE_H

#include "app/filetrust.h"

#include <QString>

// The platform calls behind the trust decisions: reading who owns a
// directory and who may change it, creating and locking down the updater's
// own directories, and removing entries without following links.
namespace FileEdge {

// The facts of `path` itself; a link is not followed.
DirectoryFacts factsOf(const QString &path);

// The running account, as the decisions name it: a uid or a SID.
QString selfName();

// trustOf() with the running account.
TrustVerdict verdictOn(const DirectoryFacts &facts, Scope scope);

enum class Access {
    Shared, // everyone may read: 0755, Users read
    Private, // the running account and the administrators only: 0700
};

// Creates `path` for the running account alone to change, whatever the
// umask or the parent's inheritable entries; false when it could not.
bool makeOwnDirectory(const QString &path, Access access);

// Takes every right to change `path` from other accounts, without
// following a link put in its place.
bool lockDown(const QString &path, Access access);

// Removes everything in `dir`, never descending through a link, junction
// or other reparse point: those are removed themselves.
void removeEntries(const QString &dir);

} // namespace FileEdge

#endif // FILEEDGE_H
