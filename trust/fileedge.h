#ifndef FILEEDGE_H
#define FILEEDGE_H

#include "trust/filetrust.h"

#include <QIODevice>
#include <QString>

#include <functional>
#include <vector>

class QFile;

// The platform calls behind the trust decisions: reading who owns an entry
// and who may change it, holding directories open while they are used,
// creating and locking down the updater's own directories and files, and
// removing entries, all without following links.
namespace FileEdge {

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

// The facts of `path` itself; a link is not followed.
DirectoryFacts factsOf(const QString &path);

// A directory held open. On Unix the operations below act through its
// descriptor; on Windows its handle shares no delete right, so that nobody
// can rename or replace the directory while it is held.
class Directory {
public:
    Directory() = default;
    Directory(qintptr handle, const QString &path);
    ~Directory();
    Directory(Directory &&other) noexcept;
    Directory &operator=(Directory &&other) noexcept;
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;

    bool isOpen() const { return handle_ != invalid; }
    qintptr handle() const { return handle_; }
    const QString &path() const { return path_; }
    QString pathOf(const QString &name) const { return path_ + QLatin1Char('/') + name; }

    static const qintptr invalid = -1;

private:
    qintptr handle_ = invalid;
    QString path_;
};

// What lies at `name` in `parent`, never followed; `dir` is open when it is
// a directory.
struct Entry {
    DirectoryFacts facts;
    Directory dir;
};
Entry openEntry(const Directory &parent, const QString &name);

// The file-system root `path` starts from ("/", "C:/", "//server/share/"),
// with the facts of it.
Entry openRoot(const QString &root);

// Where a link at `name` in `parent` leads: its text on Unix, the final
// path on Windows; empty when it cannot be read.
QString linkTarget(const Directory &parent, const QString &name);

enum class Access {
    Shared, // everyone may read: 0755, Users read
    Private, // the running account and the administrators only: 0700
};

// Creates `name` in `parent` for the running account alone to change,
// whatever the umask or the parent's inheritable entries.
bool makeDirectory(const Directory &parent, const QString &name, Access access);

// Takes every right to change the held directory from other accounts.
bool lockDown(const Directory &dir, Access access);

// The facts of a held directory.
DirectoryFacts factsOf(const Directory &dir);

// Removes the entries of `dir` that `doomed` picks by name and facts (every
// one when not given), never descending through a link, junction or other
// reparse point: those are removed themselves.
using Picker = std::function<bool(const QString &name, const DirectoryFacts &facts)>;
void removeEntries(const Directory &dir, const Picker &doomed = Picker());

// Files the updater writes are made anew, never opened through what lies
// there. A new file `name` in `dir`, created exclusively (whatever lies
// there, a dangling link included, fails it), readable by everyone with
// Shared, by the running account and the administrators with Private.
bool createFile(QFile &file, const Directory &dir, const QString &name, QIODevice::OpenMode mode,
    Access access = Access::Shared);
// The same by path, in a directory that only trusted accounts can change.
bool createFile(
    QFile &file, const QString &path, QIODevice::OpenMode mode, Access access = Access::Shared);
// A file the updater made earlier: a regular file of its own with one
// name, never reached through a link.
bool openOwnFile(QFile &file, const QString &path, QIODevice::OpenMode mode);

// Removes the entry itself, whatever it is but a directory; true when it is gone.
bool removeFile(const QString &path);
bool removeFile(const Directory &dir, const QString &name);
// Renames within `dir`, replacing what `to` names, never following it.
bool renameFile(const Directory &dir, const QString &from, const QString &to);
// The same by path, in directories that only trusted accounts can change.
bool renameFile(const QString &from, const QString &to);

} // namespace FileEdge

#endif // FILEEDGE_H
