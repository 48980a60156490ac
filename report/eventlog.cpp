#include "report/eventlog.h"

#if defined(Q_OS_WIN)

#include <vector>
#include <windows.h>

namespace {

const wchar_t sourceName[] = L"Corvane Software Updater";
const wchar_t sourceKey[]
    = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvane Software Updater";

// Event Viewer takes an event's text from the message table of the file
// the source names: this updater.exe. Only administrators and SYSTEM may
// create the key; for others the call fails, and their events show the
// insertion string without the table's help.
void registerSource()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sourceKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return;
    }
    std::vector<wchar_t> module(32768);
    const DWORD length = GetModuleFileNameW(nullptr, module.data(), DWORD(module.size()));
    if (length == 0 || length >= module.size())
        return;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_SET_VALUE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
        reinterpret_cast<const BYTE *>(module.data()), (length + 1) * sizeof(wchar_t));
    RegSetValueExW(
        key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof types);
    RegCloseKey(key);
}

} // namespace

void EventLog::report(Event event, const QString &text)
{
    registerSource();
    HANDLE source = RegisterEventSourceW(nullptr, sourceName);
    if (!source)
        return;
    LPCWSTR strings[] = {reinterpret_cast<LPCWSTR>(text.utf16())}; // terminated UTF-16
    const WORD type = event == Event::Downloaded ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE;
    ReportEventW(source, type, 0, DWORD(event), nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

#else

void EventLog::report(Event, const QString &) { }

#endif
