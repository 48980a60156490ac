#ifndef FILETRUST_H
#define FILETRUST_H

#include <QString>
#include <QtGlobal>

// Whether an entry of the file system can be trusted by an updater that may
// run as root or SYSTEM among ordinary accounts: who owns it, and whether an
// account other than the running one and the administrators can change it.
// Pure: the facts come in as parameters (see fileedge.h for reading them).

// What an entry is, read without following a link.
struct DirectoryFacts {
    bool exists = false;
    bool isLink = false; // a symbolic link, a junction or another reparse point
    bool isDirectory = false;
    uint ownerUid = 0; // Unix
    uint mode = 0; // Unix: permission bits, the sticky bit included
    QString sddl; // Windows: owner and DACL, as the system writes them
};

// Which rights of other accounts count. Replace: they can delete, rename or
// re-permission entries, but may add entries of their own (every directory
// above the local path: /tmp, C:\ProgramData). Write: they can change
// anything in it, adding entries included (the local path and the updater's
// own tree, and a file's content).
enum class Scope { Replace, Write };

enum class Trust {
    Own, // only the running account and the administrators can change it
    Loose, // a trusted owner, but other accounts hold rights of the scope
    Foreign, // another ordinary account owns it
};

struct TrustVerdict {
    Trust trust = Trust::Foreign;
    // For the log, with %1 for what it is about: "%1 belongs to ...".
    QString pattern;
    QString reason(const QString &subject = QStringLiteral("it")) const
    {
        return pattern.arg(subject);
    }
};

// Unix: root and `selfUid` are trusted. With Replace, a sticky bit keeps
// others from replacing entries they did not make.
TrustVerdict unixTrust(uint ownerUid, uint mode, uint selfUid, Scope scope);

// Windows: SYSTEM, the Administrators, TrustedInstaller and `selfSid` are
// trusted. Allow entries that apply to the entry itself count; deny entries
// are ignored, which can only make the verdict stricter. Rights the reader
// cannot decode count as every right.
TrustVerdict windowsTrust(const QString &sddl, const QString &selfSid, Scope scope);

// Whether a trusted account owns it, whatever others may do with it.
bool trustedOwner(const DirectoryFacts &facts, const QString &self);

// The verdict on facts of this platform; `self` as selfName() gives it.
TrustVerdict trustOf(const DirectoryFacts &facts, const QString &self, Scope scope);

// The DACL the updater gives what it creates: full control for SYSTEM, the
// Administrators and `selfSid`, and, with `usersRead`, read for Users;
// nothing inherited from the parent.
QString protectedDacl(const QString &selfSid, bool usersRead);

#endif // FILETRUST_H
