#include "app/updaterapp.h"

#include "log/logsink.h"
#include "transfer/proxy.h"
#include "trust/localtree.h"

#include <QLockFile>
#include <QNetworkReply>
#include <QStringList>

namespace {

// Called for the first member, so it runs before network_ is built: Qt 5's
// network manager constructor would otherwise load the bearer plugins, which
// start two threads and a D-Bus connection, cost more than the rest of a run
// that finds a package waiting, and may declare the network inaccessible on
// their own. Qt 6 has no bearer plugins, and there https needs one: the TLS
// backend, loaded at the first https request.
const char *withoutBearerPlugins(const char *appId)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setLibraryPaths(QStringList());
#endif
    return appId;
}

} // namespace

UpdaterApp::UpdaterApp(int &argc, char **argv)
    : QCoreApplication(argc, argv)
    , appId_(withoutBearerPlugins("OrbApplicationUpdater"))
    , isPrimary_(false)
    , localServer_(nullptr)
{
    setOrganizationName(QStringLiteral("Corvane"));
    setApplicationName(QStringLiteral("Software Updater"));
    setApplicationVersion(QStringLiteral("2.1.1702011951"));

    acquireInstance();

#ifndef Q_OS_WIN
    // Qt 5 asks libproxy and Qt 6 reads the environment its own way: both
    // read it as curl does. Windows keeps Qt's reading of the system settings.
    network_.setProxyFactory(new EnvironmentProxyFactory);
#endif
    connect(&network_, &QNetworkAccessManager::sslErrors, this, &UpdaterApp::onSslErrors);
    connect(&network_, &QNetworkAccessManager::finished, this, &UpdaterApp::onReplyFinished);

    LogSink::attach(this);
}

UpdaterApp::~UpdaterApp()
{
    if (isPrimary_) {
        // The status and the log's archive are written while the lock is
        // still held: a new primary would otherwise delete the log in the
        // middle of the copy, or share the status's temporary name.
        reportRun();
        archiveLog();
        releaseInstance();
    }
    LogSink::detach(this);
}
