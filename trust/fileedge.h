#ifndef FILEEDGE_H
#define FILEEDGE_H

#include "trust/filetrust.h"

#include <QString>

// The platform calls behind the trust decisions: reading who owns a
// directory and who may change it, creating and locking down the updater's
// own directories, and removing entries without following links.
namespace FileEdge {

// The facts of `path` itself; a link is not followed.
DirectoryFacts factsOf(const QString &path);

// The running account, as the decisions name it: a uid or a SID.
QString selfName();

#if defined(Q_OS_WIN)
// The SID of the account a process token (a HANDLE) runs as, and whether
// the token holds `groupSid` as an enabled group.
QString tokenUser(void *token);
bool tokenHasGroup(void *token, const QString &groupSid);
#endif

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

// Why a link, a junction or another reparse point is refused.
const char *const linkRefusal = "it is a link or another reparse point";

// What became of a directory the updater claims as its own.
struct Claim {
    bool isDirectory = false; // false: missing and could not be made, or a file
    QString refusal; // why it cannot be its own: a link, another account's
    QString lockedDown; // why it had to be locked down; empty when it had not
};

// Makes `path` a directory that only the running account and the
// administrators can change: made when missing, locked down when others
// could change it and it is theirs to lock, refused otherwise.
Claim claimDirectory(const QString &path, Access access);

// Removes everything in `dir`, never descending through a link, junction
// or other reparse point: those are removed themselves.
void removeEntries(const QString &dir);

} // namespace FileEdge

#endif // FILEEDGE_H
