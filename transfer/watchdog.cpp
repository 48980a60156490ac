#include "transfer/watchdog.h"

#if defined(Q_OS_WIN)
#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>
#else
#include <QFile>

#include <unistd.h>
#endif

namespace {

const int memoryPollMs = 100;

} // namespace

int WatchLimits::stallLimitMs()
{
    const int shipped = 60 * 1000;
    bool given = false;
    const int test = qEnvironmentVariableIntValue("UPDATER_TEST_STALL_MS", &given);
    return given && test > 0 ? qMin(test, shipped) : shipped;
}

TransferWatch::TransferWatch(const WatchLimits &limits, Expired expired, QObject *parent)
    : QObject(parent)
    , limits_(limits)
    , expired_(std::move(expired))
    , baseline_(residentBytes())
{
    header_.setSingleShot(true);
    stall_.setSingleShot(true);
    connect(&header_, &QTimer::timeout, this, [this] {
        expire(QStringLiteral("    ERROR: The server sent no complete response header within %1 "
                              "seconds.")
                   .arg(limits_.headerMs / 1000.0));
    });
    connect(&memory_, &QTimer::timeout, this, [this] {
        if (residentBytes() - baseline_ > limits_.headerGrowth)
            expire(QStringLiteral("    ERROR: The server's response header did not end within "
                                  "%1 MiB.")
                       .arg(limits_.headerGrowth >> 20));
    });
    connect(&stall_, &QTimer::timeout, this, [this] {
        expire(QStringLiteral("    ERROR: The transfer stalled: nothing arrived for %1 seconds.")
                   .arg(limits_.stallMs / 1000.0),
            true);
    });
    header_.start(limits_.headerMs);
    if (baseline_ > 0)
        memory_.start(memoryPollMs);
    stall_.start(limits_.stallMs);
}

void TransferWatch::headerEnded()
{
    header_.stop();
    memory_.stop();
}

void TransferWatch::moved()
{
    if (stall_.isActive())
        stall_.start(limits_.stallMs);
}

void TransferWatch::expire(const QString &line, bool stalled)
{
    headerEnded();
    stall_.stop();
    if (expired_)
        std::exchange(expired_, nullptr)(line, stalled);
}

qint64 residentBytes()
{
#if defined(Q_OS_WIN)
    PROCESS_MEMORY_COUNTERS counters {};
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))
        ? qint64(counters.WorkingSetSize)
        : 0;
#else
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> pages = statm.readAll().split(' ');
    return pages.size() > 1 ? pages[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : 0;
#endif
}
