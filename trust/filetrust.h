#ifndef FILETRUST_H
#define FILETRUST_H

#include <QString>
#include <QtGlobal>

// Whether a directory can be trusted by an updater that may run as root or
// SYSTEM among ordinary accounts: who owns it, and whether an account other
// than the running one and the administrators can change what it holds.
// Pure: the facts come in as parameters (see fileedge.h for reading them).

// What a directory is, read without following a link.
struct DirectoryFacts {
    bool exists = false;
    bool isLink = false; // a symbolic link, a junction or another reparse point
    bool isDirectory = false;
    uint ownerUid = 0; // Unix
    uint mode = 0; // Unix: permission bits, the sticky bit included
    QString sddl; // Windows: owner and DACL, as the system writes them
};

// Which rights of other accounts count. Replace: they can delete, rename or
// re-permission entries (the local path, which the application may share).
// Write: they can change anything in it (the updater's own tree).
enum class Scope { Replace, Write };

enum class Trust {
    Own, // only the running account and the administrators can change it
    Loose, // a trusted owner, but other accounts hold rights of the scope
    Foreign, // another ordinary account owns it
};

struct TrustVerdict {
    Trust trust = Trust::Foreign;
    QString reason; // for the log: "it belongs to ...", "other accounts can ..."
};

// Unix: root and `selfUid` are trusted. With Replace, a sticky bit keeps
// others from replacing entries they did not make.
TrustVerdict unixTrust(uint ownerUid, uint mode, uint selfUid, Scope scope);

// Windows: SYSTEM, the Administrators, TrustedInstaller and `selfSid` are
// trusted. Allow entries that apply to the directory itself count; deny
// entries are ignored, which can only make the verdict stricter.
TrustVerdict windowsTrust(const QString &sddl, const QString &selfSid, Scope scope);

// The verdict on facts of this platform.
TrustVerdict trustOf(const DirectoryFacts &facts, Scope scope);

// The DACL the updater gives what it creates: full control for SYSTEM, the
// Administrators and `selfSid`, and, with `usersRead`, read for Users;
// nothing inherited from the parent.
QString protectedDacl(const QString &selfSid, bool usersRead);

#endif // FILETRUST_H
