#ifndef DOWNLOADHARNESS_H
#define DOWNLOADHARNESS_H

#include "support/fakehttpserver.h"
#include "support/logcapture.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

class UpdaterApp;

namespace TestSupport {

// An application object to download with, in process: its own TMPDIR (lock
// and control channel), its local updates directory, the log lines captured,
// and fake HTTP and HTTPS servers. One per test executable at a time.
class DownloadHarness : public QObject {
public:
    DownloadHarness();
    ~DownloadHarness() override;

    // False when something could not be set up; see the test's output.
    bool setUp(const char *name);
    void tearDown();

    UpdaterApp *app() const { return app_.get(); }
    LogCapture *log() const { return log_.get(); }
    FakeHttpServer *http() const { return http_.get(); }
    FakeHttpsServer *https() const { return https_.get(); }
    QString path(const QString &name) const { return tmp_.filePath(name); }
    QString localPath() const { return path(QStringLiteral("updates")); }
    // The staging files present now in the local updates directory.
    QStringList stagingFiles() const;

    // Downloads while the servers serve. With a pattern, the first log line
    // matching it releases the servers' stalls, after releaseDelayMs.
    bool download(const QUrl &url, const QString &dest, const QString &md5,
        const QString &releaseOn = QString());
    // Set when the last watched wait had to be cut off: a broken engine, never a slow one.
    bool cutOff() const { return cutOff_; }
    void armWatchdog(QTimer &timer);

    // The network layer reports progress at most every 100 ms, counted from
    // the request; data held back longer than this is reported on arrival.
    static constexpr int releaseDelayMs = 150;

private:
    QTemporaryDir tmp_;
    int argc_ = 1;
    char name_[32] = {};
    char *argv_[2] = {name_, nullptr};
    std::unique_ptr<UpdaterApp> app_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<FakeHttpServer> http_;
    std::unique_ptr<FakeHttpsServer> https_;
    bool cutOff_ = false;
};

} // namespace TestSupport

#endif // DOWNLOADHARNESS_H
