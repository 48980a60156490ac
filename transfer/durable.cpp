#include "transfer/durable.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>

#if defined(Q_OS_WIN)
#include <io.h>
#include <windows.h>
#elif defined(Q_OS_UNIX)
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

#if defined(Q_OS_UNIX)

template <typename Call> int retried(Call call)
{
    int result;
    do
        result = call();
    while (result == -1 && errno == EINTR);
    return result;
}

bool syncData(int fd)
{
#if defined(Q_OS_DARWIN)
    // fsync stops at the drive's cache there; a failure means no support for more.
    if (retried([fd] { return ::fcntl(fd, F_FULLFSYNC); }) == 0)
        return true;
    return retried([fd] { return ::fsync(fd); }) == 0;
#elif defined(Q_OS_LINUX)
    if (retried([fd] { return ::fdatasync(fd); }) != 0)
        return false;
    // All of it is clean now: give the page cache back to the kiosk application.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    return true;
#else
    return retried([fd] { return ::fsync(fd); }) == 0;
#endif
}

// A new name lives in its directory's data: only syncing the directory keeps it.
bool syncDirectory(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd
        = retried([&name] { return ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0)
        return false;
    // EINVAL: a file system that offers no directory sync (some network ones).
    const bool synced = retried([fd] { return ::fsync(fd); }) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

#elif defined(Q_OS_WIN)

const wchar_t *nativePath(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

#endif

} // namespace

namespace Durable {

void writeBehind(QFileDevice &file, qint64 before, qint64 after)
{
#if defined(Q_OS_LINUX)
    const int fd = file.handle();
    const qint64 window = writeBehindWindow;
    for (qint64 end = (before / window + 1) * window; end <= after; end += window) {
        ::sync_file_range(fd, end - window, window, SYNC_FILE_RANGE_WRITE);
        if (end < 2 * window)
            continue;
        const qint64 settled = end - 2 * window;
        ::sync_file_range(fd, settled, window,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(fd, settled, window, POSIX_FADV_DONTNEED);
    }
#else
    // Elsewhere the final flush does all of the work.
    Q_UNUSED(file)
    Q_UNUSED(before)
    Q_UNUSED(after)
#endif
}

bool flush(QFileDevice &file)
{
    if (!file.isOpen() || !file.flush())
        return false;
#if defined(Q_OS_WIN)
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.handle()));
    return handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle);
#elif defined(Q_OS_UNIX)
    return syncData(file.handle());
#else
    return true;
#endif
}

bool moveIntoPlace(const QString &from, const QString &to)
{
#if defined(Q_OS_WIN)
    return ::MoveFileExW(nativePath(QDir::toNativeSeparators(from)),
               nativePath(QDir::toNativeSeparators(to)),
               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
#elif defined(Q_OS_UNIX)
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0
        && syncDirectory(QFileInfo(to).absolutePath());
#else
    QFile::remove(to);
    return QFile::rename(from, to);
#endif
}

bool volumeSpace(const QString &dir, qint64 *available, qint64 *total)
{
#if defined(Q_OS_WIN)
    ULARGE_INTEGER free {}, size {};
    if (!::GetDiskFreeSpaceExW(nativePath(QDir::toNativeSeparators(dir)), &free, &size, nullptr))
        return false;
    *available = qint64(free.QuadPart);
    *total = qint64(size.QuadPart);
    return true;
#elif defined(Q_OS_UNIX)
    struct statvfs volume { };
    if (::statvfs(QFile::encodeName(dir).constData(), &volume) != 0)
        return false;
    *available = qint64(volume.f_bavail) * qint64(volume.f_frsize);
    *total = qint64(volume.f_blocks) * qint64(volume.f_frsize);
    return true;
#else
    Q_UNUSED(dir)
    Q_UNUSED(available)
    Q_UNUSED(total)
    return false;
#endif
}

} // namespace Durable
