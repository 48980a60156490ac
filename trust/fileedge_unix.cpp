#include "trust/fileedge.h"

#if !defined(Q_OS_WIN)

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#if defined(O_PATH)
const int lookOnly = O_PATH; // any directory, even one the account cannot list
#else
const int lookOnly = O_RDONLY | O_NONBLOCK; // a FIFO must not block the walk
#endif
// Deeper than this, what others planted is left (in a tree they can no longer change).
const int deepest = 64;

QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

DirectoryFacts factsOfStatus(const struct stat &status)
{
    DirectoryFacts facts;
    facts.exists = true;
    facts.isLink = S_ISLNK(status.st_mode);
    facts.isDirectory = S_ISDIR(status.st_mode);
    facts.ownerUid = status.st_uid;
    facts.mode = status.st_mode & 07777;
    return facts;
}

mode_t modeOf(FileEdge::Access access, bool directory)
{
    if (access == FileEdge::Access::Private)
        return directory ? 0700 : 0600;
    return directory ? 0755 : 0644;
}

bool adopt(QFile &file, int fd, QIODevice::OpenMode mode)
{
    if (fd >= 0 && file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    if (fd >= 0)
        ::close(fd);
    return false;
}

int openFlags(QIODevice::OpenMode mode)
{
    int flags = (mode & QIODevice::ReadOnly) && (mode & QIODevice::WriteOnly) ? O_RDWR
        : (mode & QIODevice::WriteOnly)                                       ? O_WRONLY
                                                                              : O_RDONLY;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    return flags | O_NOFOLLOW | O_CLOEXEC;
}

void removeIn(int fd, const FileEdge::Picker &doomed, int depth);

void removeEntry(int fd, const char *name, int depth)
{
    struct stat status { };
    if (::fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(status.st_mode)) {
        ::unlinkat(fd, name, 0);
        return;
    }
    const int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0 || depth >= deepest) {
        if (child >= 0)
            ::close(child);
        return;
    }
    removeIn(child, FileEdge::Picker(), depth + 1);
    ::close(child);
    ::unlinkat(fd, name, AT_REMOVEDIR);
}

// Takes `fd`'s listing first: removing while reading leaves the order unspecified.
void removeIn(int fd, const FileEdge::Picker &doomed, int depth)
{
    const int listing = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return;
    }
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    for (const QByteArray &name : names) {
        struct stat status { };
        if (doomed
            && (::fstatat(fd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0
                || !doomed(QFile::decodeName(name), factsOfStatus(status))))
            continue;
        removeEntry(fd, name.constData(), depth);
    }
}

} // namespace

namespace FileEdge {

QString selfName()
{
    return QString::number(::geteuid());
}

TrustVerdict verdictOn(const DirectoryFacts &facts, Scope scope)
{
    return unixTrust(facts.ownerUid, facts.mode, ::geteuid(), scope);
}

DirectoryFacts factsOf(const QString &path)
{
    struct stat status { };
    return ::lstat(encoded(path).constData(), &status) == 0 ? factsOfStatus(status)
                                                            : DirectoryFacts();
}

Directory::Directory(qintptr handle, const QString &path)
    : handle_(handle)
    , path_(path)
{
}

Directory::~Directory()
{
    if (handle_ != invalid)
        ::close(int(handle_));
}

Directory::Directory(Directory &&other) noexcept
    : handle_(other.handle_)
    , path_(std::move(other.path_))
{
    other.handle_ = invalid;
}

Directory &Directory::operator=(Directory &&other) noexcept
{
    std::swap(handle_, other.handle_);
    std::swap(path_, other.path_);
    return *this;
}

Entry openEntry(const Directory &parent, const QString &name)
{
    Entry entry;
    const int fd = ::openat(
        int(parent.handle()), encoded(name).constData(), lookOnly | O_NOFOLLOW | O_CLOEXEC);
    struct stat status { };
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        // Without O_PATH a link cannot be opened: look at it instead.
        if (fd < 0
            && ::fstatat(
                   int(parent.handle()), encoded(name).constData(), &status, AT_SYMLINK_NOFOLLOW)
                == 0)
            entry.facts = factsOfStatus(status);
        if (fd >= 0)
            ::close(fd);
        return entry;
    }
    entry.facts = factsOfStatus(status);
    if (entry.facts.isDirectory)
        entry.dir = Directory(fd, parent.pathOf(name));
    else
        ::close(fd);
    return entry;
}

Entry openRoot(const QString &root)
{
    Entry entry;
    const int fd = ::open(encoded(root).constData(), lookOnly | O_DIRECTORY | O_CLOEXEC);
    struct stat status { };
    if (fd >= 0 && ::fstat(fd, &status) == 0) {
        entry.facts = factsOfStatus(status);
        entry.dir = Directory(fd, root.endsWith(QLatin1Char('/')) ? root.chopped(1) : root);
    } else if (fd >= 0) {
        ::close(fd);
    }
    return entry;
}

QString linkTarget(const Directory &parent, const QString &name)
{
    char target[4096];
    const ssize_t length
        = ::readlinkat(int(parent.handle()), encoded(name).constData(), target, sizeof(target) - 1);
    return length > 0 ? QFile::decodeName(QByteArray(target, int(length))) : QString();
}

bool makeDirectory(const Directory &parent, const QString &name, Access access)
{
    // The mode is set again after mkdir, which the umask narrows.
    if (::mkdirat(int(parent.handle()), encoded(name).constData(), modeOf(access, true)) != 0)
        return false;
    Entry made = openEntry(parent, name);
    return made.dir.isOpen() && lockDown(made.dir, access);
}

bool lockDown(const Directory &dir, Access access)
{
    // fchmod needs more than a look: the held directory itself, opened again.
    const int fd = ::openat(int(dir.handle()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool changed = fd >= 0 && ::fchmod(fd, modeOf(access, true)) == 0;
    if (fd >= 0)
        ::close(fd);
    return changed;
}

DirectoryFacts factsOf(const Directory &dir)
{
    struct stat status { };
    return ::fstat(int(dir.handle()), &status) == 0 ? factsOfStatus(status) : DirectoryFacts();
}

void removeEntries(const Directory &dir, const Picker &doomed)
{
    removeIn(int(dir.handle()), doomed, 0);
}

bool createFile(
    QFile &file, const Directory &dir, const QString &name, QIODevice::OpenMode mode, Access access)
{
    const int fd = ::openat(int(dir.handle()), encoded(name).constData(),
        openFlags(mode) | O_CREAT | O_EXCL, modeOf(access, false));
    // The umask may have narrowed the mode; nothing here widens it past modeOf.
    if (fd >= 0)
        ::fchmod(fd, modeOf(access, false));
    return adopt(file, fd, mode);
}

bool createFile(QFile &file, const QString &path, QIODevice::OpenMode mode, Access access)
{
    const int fd = ::open(
        encoded(path).constData(), openFlags(mode) | O_CREAT | O_EXCL, modeOf(access, false));
    if (fd >= 0)
        ::fchmod(fd, modeOf(access, false));
    return adopt(file, fd, mode);
}

bool openOwnFile(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    // Non-blocking, or a FIFO where a file was would hold the run in open().
    const int fd = ::open(encoded(path).constData(), openFlags(mode) | O_NONBLOCK);
    struct stat status { };
    const bool own = fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
        && status.st_nlink == 1 && status.st_uid == ::geteuid();
    if (!own && fd >= 0)
        ::close(fd);
    return own && adopt(file, fd, mode);
}

bool removeFile(const QString &path)
{
    return ::unlink(encoded(path).constData()) == 0 || errno == ENOENT;
}

bool removeFile(const Directory &dir, const QString &name)
{
    return ::unlinkat(int(dir.handle()), encoded(name).constData(), 0) == 0 || errno == ENOENT;
}

bool renameFile(const Directory &dir, const QString &from, const QString &to)
{
    return ::renameat(int(dir.handle()), encoded(from).constData(), int(dir.handle()),
               encoded(to).constData())
        == 0;
}

bool renameFile(const QString &from, const QString &to)
{
    return ::rename(encoded(from).constData(), encoded(to).constData()) == 0;
}

} // namespace FileEdge

#endif
