#include "support/downloadharness.h"

#include "app/updaterapp.h"
#include "support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTimer>

#include <cstring>

namespace TestSupport {

DownloadHarness::DownloadHarness() = default;

DownloadHarness::~DownloadHarness()
{
    tearDown();
}

bool DownloadHarness::setUp(const char *name)
{
    if (!tmp_.isValid())
        return false;
    std::strncpy(name_, name, sizeof name_ - 1);
    isolateTempDir(path(QStringLiteral("tmp")));
    app_ = std::make_unique<UpdaterApp>(argc_, argv_);
    if (!QDir().mkpath(localPath() + QStringLiteral("/available")))
        return false;
    app_->setLocalPath(localPath());
    // After setLocalPath, which installs the log file's handler.
    log_ = std::make_unique<LogCapture>();
    http_ = std::make_unique<FakeHttpServer>();
    https_ = std::make_unique<FakeHttpsServer>();
    return http_->start() && https_->createCertificate(tmp_.path()) && https_->start();
}

void DownloadHarness::tearDown()
{
    https_.reset();
    http_.reset();
    log_.reset();
    app_.reset();
}

QStringList DownloadHarness::stagingFiles() const
{
    return QDir(localPath())
        .entryList({QStringLiteral(".updater-*")}, QDir::Files | QDir::Hidden | QDir::System);
}

void DownloadHarness::armWatchdog(QTimer &timer)
{
    cutOff_ = false;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this]() {
        cutOff_ = true;
        http_->closeAll();
        https_->closeAll();
    });
    timer.start(30000);
}

bool DownloadHarness::download(
    const QUrl &url, const QString &dest, const QString &md5, const QString &releaseOn)
{
    // Once, and only during this download.
    const QRegularExpression match(releaseOn);
    QTimer release;
    release.setSingleShot(true);
    release.setTimerType(Qt::PreciseTimer);
    connect(&release, &QTimer::timeout, http_.get(), &FakeHttpServer::release);
    connect(&release, &QTimer::timeout, https_.get(), &FakeHttpServer::release);
    QMetaObject::Connection releaser;
    if (!releaseOn.isEmpty()) {
        releaser = connect(log_.get(), &LogCapture::lineLogged, this, [&](const QString &line) {
            if (match.match(line).hasMatch()) {
                disconnect(releaser);
                release.start(releaseDelayMs);
            }
        });
    }
    QTimer watchdog;
    armWatchdog(watchdog);
    const bool result = app_->download(url, dest, md5);
    disconnect(releaser);
    return result;
}

} // namespace TestSupport
