#include "instance/instanceedge.h"

#include "trust/fileedge.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#if defined(Q_OS_WIN)
#include <windows.h>
// after windows.h, which they need
#include <sddl.h>
#else
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace InstanceEdge {

#if defined(Q_OS_WIN)

namespace {

bool isTrustedToken(HANDLE token)
{
    const QString sid = FileEdge::tokenUser(token);
    return (!sid.isEmpty() && (sid == FileEdge::selfName() || sid == QLatin1String("S-1-5-18")))
        || FileEdge::tokenHasGroup(token, QStringLiteral("S-1-5-32-544"));
}

} // namespace

QString temporaryDirectory()
{
    // Looked up at run time: Windows 7 and older Windows 10 builds lack it.
    using TempPath2 = DWORD(WINAPI *)(DWORD, LPWSTR);
    const auto tempPath2 = reinterpret_cast<TempPath2>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = tempPath2 ? tempPath2(MAX_PATH + 1, buffer) : 0;
    if (length == 0 || length > MAX_PATH)
        return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
}

Runtime runtimeDirectory()
{
    return Runtime();
}

bool connectTo(QLocalSocket &socket, const QString &name, int waitMs, QString *error)
{
    const QString pipe = QStringLiteral("\\\\.\\pipe\\") + name;
    const auto path = reinterpret_cast<const wchar_t *>(pipe.utf16());
    const auto open = [path] {
        return ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    };
    HANDLE handle = open();
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY
        && ::WaitNamedPipeW(path, DWORD(waitMs)))
        handle = open();
    if (handle == INVALID_HANDLE_VALUE) {
        *error = QStringLiteral("the pipe cannot be opened (error %1)").arg(::GetLastError());
        return false;
    }
    return socket.setSocketDescriptor(
        reinterpret_cast<qintptr>(handle), QLocalSocket::ConnectedState, QIODevice::WriteOnly);
}

QString serverName(const QString &, const QString &id)
{
    return id;
}

PipeClaim::PipeClaim(const QString &name)
{
    const QString dacl
        = QStringLiteral("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;%1)").arg(FileEdge::selfName());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            reinterpret_cast<const wchar_t *>(dacl.utf16()), SDDL_REVISION_1, &descriptor, nullptr))
        return;
    SECURITY_ATTRIBUTES attributes {sizeof(attributes), descriptor, FALSE};
    const QString pipe = QStringLiteral("\\\\.\\pipe\\") + name;
    // The modes and the instance count of every instance must match Qt's.
    const HANDLE handle = ::CreateNamedPipeW(reinterpret_cast<const wchar_t *>(pipe.utf16()),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0, 0, 0,
        &attributes);
    ::LocalFree(descriptor);
    held_ = handle != INVALID_HANDLE_VALUE;
    handle_ = held_ ? handle : nullptr;
}

PipeClaim::~PipeClaim()
{
    if (handle_)
        ::CloseHandle(static_cast<HANDLE>(handle_));
}

bool peerIsTrusted(qintptr descriptor)
{
    ULONG pid = 0;
    if (!::GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(descriptor), &pid))
        return false;
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE token = nullptr;
    const bool trusted
        = process && ::OpenProcessToken(process, TOKEN_QUERY, &token) && isTrustedToken(token);
    if (token)
        ::CloseHandle(token);
    if (process)
        ::CloseHandle(process);
    return trusted;
}

#else

QString temporaryDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

Runtime runtimeDirectory()
{
    // Root's own, never a name in /tmp that another account could take first.
    if (::geteuid() == 0)
        return {QStringLiteral("/run"), QStringLiteral("corvane-updater"), true};
    return {qEnvironmentVariable("XDG_RUNTIME_DIR"), QString(), false};
}

bool connectTo(QLocalSocket &socket, const QString &name, int waitMs, QString *error)
{
    socket.connectToServer(name, QIODevice::WriteOnly);
    const bool connected = socket.waitForConnected(waitMs);
    *error = socket.errorString();
    return connected;
}

QString serverName(const QString &dir, const QString &id)
{
    return QDir(dir).absoluteFilePath(id);
}

PipeClaim::PipeClaim(const QString &) { }

PipeClaim::~PipeClaim() = default;

bool peerIsTrusted(qintptr descriptor)
{
    uid_t uid = 0;
#if defined(Q_OS_LINUX)
    ucred credentials {};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    uid = credentials.uid;
#else
    gid_t gid = 0;
    if (::getpeereid(int(descriptor), &uid, &gid) != 0)
        return false;
#endif
    return uid == 0 || uid == ::geteuid();
}

#endif

} // namespace InstanceEdge
