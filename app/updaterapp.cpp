#include "app/updaterapp.h"

#include "log/logsink.h"

#include <QLockFile>
#include <QNetworkReply>
#include <QStringList>

namespace {

// Called for the first member, so it runs before network_ is built: the
// network manager's constructor would otherwise load Qt's bearer plugins,
// which start two threads and a D-Bus connection, cost more than the rest of
// a run that finds a package waiting, and may declare the network inaccessible
// on their own. Nothing here needs a plugin.
const char *withoutPlugins(const char *appId)
{
    QCoreApplication::setLibraryPaths(QStringList());
    return appId;
}

} // namespace

UpdaterApp::UpdaterApp(int &argc, char **argv)
    : QCoreApplication(argc, argv)
    , appId_(withoutPlugins("OrbApplicationUpdater"))
    , isPrimary_(false)
    , localServer_(nullptr)
{
    setOrganizationName(QStringLiteral("Corvane"));
    setApplicationName(QStringLiteral("Software Updater"));
    setApplicationVersion(QStringLiteral("2.1.1702011951"));

    acquireInstance();

    connect(&network_, &QNetworkAccessManager::sslErrors, this, &UpdaterApp::onSslErrors);
    connect(&network_, &QNetworkAccessManager::finished, this, &UpdaterApp::onReplyFinished);

    LogSink::attach(this);
}

UpdaterApp::~UpdaterApp()
{
    if (isPrimary_) {
        // The log is archived while the lock is still held: a new primary
        // would otherwise delete the log in the middle of the copy.
        archiveLog();
        releaseInstance();
    }
    LogSink::detach(this);
}
