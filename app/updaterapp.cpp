#include "app/updaterapp.h"

#include "log/logsink.h"

#include <QLockFile>
#include <QNetworkReply>

UpdaterApp::UpdaterApp(int &argc, char **argv)
    : QCoreApplication(argc, argv)
    , appId_("OrbApplicationUpdater")
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
