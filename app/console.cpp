#include "app/console.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
bool usable(HANDLE handle)
{
    return handle && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// A GUI-subsystem program has standard handles only when its starter
// redirected them (a pipe, a file); otherwise it borrows the starter's
// console, if the starter has one.
HANDLE target(DWORD which)
{
    const HANDLE handle = ::GetStdHandle(which);
    if (usable(handle))
        return handle;
    static const HANDLE console = [] {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS))
            return INVALID_HANDLE_VALUE;
        return ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }();
    return console;
}
#endif

} // namespace

void Console::write(const QString &text, Stream stream)
{
#ifdef Q_OS_WIN
    const HANDLE handle = target(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (!usable(handle))
        return;
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, text.utf16(), DWORD(text.size()), &written, nullptr);
        return;
    }
    const QByteArray bytes = text.toLocal8Bit();
    ::WriteFile(handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
#else
    FILE *file = stream == Stream::Out ? stdout : stderr;
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
    std::fflush(file);
#endif
}

void Console::messageHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // What Qt's default output writes elsewhere; on Windows that default
    // goes to the debugger, which nobody reads on a kiosk.
    write(message + QLatin1Char('\n'), Stream::Err);
}
