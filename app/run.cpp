#include "app/updaterapp.h"

#include "app/commandline.h"
#include "app/console.h"

#include <QDateTime>
#include <QDir>

namespace {

void writeBanner(const QString &localPath, const QString &remotePath)
{
    qInfo("========================================================");
    qInfo("%s", qUtf8Printable(QDateTime::currentDateTime().toString(Qt::TextDate)));
    qInfo("%s %s Version %s.", qUtf8Printable(QCoreApplication::organizationName()),
        qUtf8Printable(QCoreApplication::applicationName()),
        qUtf8Printable(QCoreApplication::applicationVersion()));
    qInfo("  Using local path at %s", qUtf8Printable(localPath));
    qInfo("  Using remote path at %s", qUtf8Printable(remotePath));
}

// Creates updates/, available/ and cache/; failures show up in later steps.
QString prepareLocalTree(QDir dir)
{
    if (!dir.exists(QStringLiteral("updates")))
        dir.mkdir(QStringLiteral("updates"));
    // An updates entry that is no directory stays the updates path all the
    // same: the local path itself would take the package and the log, and the
    // archive would go beside it.
    if (!dir.cd(QStringLiteral("updates")))
        return dir.absoluteFilePath(QStringLiteral("updates"));
    if (!dir.exists(QStringLiteral("available")))
        dir.mkdir(QStringLiteral("available"));
    if (!dir.exists(QStringLiteral("cache")))
        dir.mkdir(QStringLiteral("cache"));
    return dir.absolutePath();
}

} // namespace

int UpdaterApp::run()
{
    // Until the log file is known, messages are for whoever started the run.
    qInstallMessageHandler(Console::messageHandler);
    CommandLine commandLine;
    if (!commandLine.parse(QCoreApplication::arguments())) {
        qInfo("Cannot parse arguments: %s", qUtf8Printable(commandLine.errorText()));
        return 1;
    }
    if (!isPrimary_) {
        if (commandLine.shutdown())
            sendMessage(QStringLiteral("shutdown"));
        return 0;
    }
    if (commandLine.shutdown())
        return 0;
    if (commandLine.help() || commandLine.version()) {
        Console::write(commandLine.help() ? commandLine.helpText() : CommandLine::versionText(),
            Console::Stream::Out);
        return 0;
    }
    return runPrimary(commandLine);
}

int UpdaterApp::runPrimary(const CommandLine &commandLine)
{
    if (!commandLine.hasLocalPath()) {
        qInfo("Local path for updater not set.");
        return 2;
    }
    if (!commandLine.hasRemotePath()) {
        qInfo("Remote path for updater not set.");
        return 2;
    }
    const QDir localDir(commandLine.localPath());
    if (!localDir.exists()) {
        qInfo("Local path (%s) doesnt exist.", qUtf8Printable(commandLine.localPath()));
        return 0;
    }
    setLocalPath(prepareLocalTree(localDir));

    const QString remote = commandLine.remotePath();
    QString scheme;
    switch (checkRemotePath(remote, &scheme)) {
    case RemoteCheck::Invalid:
        qInfo("Remote path %s is not valid", qUtf8Printable(remote));
        return 0;
    case RemoteCheck::UnsupportedScheme:
        qInfo("Unsupported protocol used for remote path %s. Supported protocols are %s",
            qUtf8Printable(scheme), qUtf8Printable(supportedSchemes().join(QLatin1Char(','))));
        return 0;
    case RemoteCheck::Valid:
        break;
    }
    setRemotePath(remote + commandLine.kindSegment());
    kind_ = commandLine.kind();

    writeBanner(localPath_, remotePath_);
    QMetaObject::invokeMethod(this, "checkForUpdates", Qt::QueuedConnection);
    return exec();
}
