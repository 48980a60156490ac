#ifndef WATCHDOG_H
#define WATCHDOG_H

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Limits on a transfer that no server can lift. Qt keeps a response header
// whole until it ends, so it must end within `headerMs` of the request and
// before the process has grown by `headerGrowth` bytes; and no transfer may
// go silent for `stallMs`. Slow is never cut: only silence is.
struct WatchLimits {
    int headerMs = 30 * 1000;
    qint64 headerGrowth = qint64(16) << 20;
    int stallMs = stallLimitMs();
    // 60 s; UPDATER_TEST_STALL_MS, which the process tests set, may only shorten it.
    static int stallLimitMs();
};

// Watches one transfer; calls `expired` once, with the line to log and
// whether it was a stall, when a limit is passed.
class TransferWatch : public QObject {
public:
    using Expired = std::function<void(const QString &line, bool stalled)>;
    TransferWatch(const WatchLimits &limits, Expired expired, QObject *parent = nullptr);

    void headerEnded(); // the response header arrived (or there is none)
    void moved(); // bytes arrived: the stall clock starts again

private:
    void expire(const QString &line, bool stalled = false);

    WatchLimits limits_;
    Expired expired_;
    QTimer header_, memory_, stall_;
    qint64 baseline_;
};

// The process's resident memory, in bytes; 0 when the system cannot tell.
qint64 residentBytes();

#endif // WATCHDOG_H
