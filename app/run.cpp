#include "app/updaterapp.h"

#include "app/commandline.h"

#include <QDateTime>
#include <QDir>

namespace {

QByteArray local8(const QString &text)
{
    return text.toLocal8Bit();
}

void writeBanner(const QString &localPath, const QString &remotePath)
{
    qInfo("========================================================");
    qInfo("%s", local8(QDateTime::currentDateTime().toString(Qt::TextDate)).constData());
    qInfo("%s %s Version %s.", local8(QCoreApplication::organizationName()).constData(),
        local8(QCoreApplication::applicationName()).constData(),
        local8(QCoreApplication::applicationVersion()).constData());
    qInfo("  Using local path at %s", local8(localPath).constData());
    qInfo("  Using remote path at %s", local8(remotePath).constData());
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
    CommandLine commandLine;
    if (!commandLine.parse(QCoreApplication::arguments())) {
        qInfo("Cannot parse arguments: %s", local8(commandLine.errorText()).constData());
        return 1;
    }
    if (!isPrimary_) {
        if (commandLine.shutdown())
            sendMessage(QStringLiteral("shutdown"));
        return 0;
    }
    if (commandLine.shutdown())
        return 0;
    if (commandLine.help())
        commandLine.showHelp();
    if (commandLine.version())
        commandLine.showVersion();
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
        qInfo("Local path (%s) doesnt exist.", local8(commandLine.localPath()).constData());
        return 0;
    }
    setLocalPath(prepareLocalTree(localDir));

    const QString remote = commandLine.remotePath();
    QString scheme;
    switch (checkRemotePath(remote, &scheme)) {
    case RemoteCheck::Invalid:
        qInfo("Remote path %s is not valid", local8(remote).constData());
        return 0;
    case RemoteCheck::UnsupportedScheme:
        qInfo("Unsupported protocol used for remote path %s. Supported protocols are %s",
            local8(scheme).constData(),
            local8(supportedSchemes().join(QLatin1Char(','))).constData());
        return 0;
    case RemoteCheck::Valid:
        break;
    }
    setRemotePath(remote + commandLine.kindSegment());

    writeBanner(localPath_, remotePath_);
    QMetaObject::invokeMethod(this, "checkForUpdates", Qt::QueuedConnection);
    return exec();
}
