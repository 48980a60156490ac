#include "app/updaterapp.h"

#include "app/commandline.h"
#include "app/console.h"
#include "report/eventlog.h"
#include "trust/localtree.h"

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
    // Without a lock of its own, no updater can work or be told to stop.
    if (!instanceError_.isEmpty() && !isPrimary_ && !commandLine.help() && !commandLine.version()) {
        reportError(instanceError_);
        return 0;
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
    record_.started = QDateTime::currentDateTimeUtc();
    tree_ = std::make_unique<LocalTree>(prepareLocalTree(localDir.absolutePath()));
    if (!tree_->error.isEmpty()) {
        if (tree_->logTrusted)
            setLocalPath(tree_->updatesPath);
        reportError(tree_->error);
        // No status can say so: the one signal such a run gives.
        EventLog::report(EventLog::Event::Refused, tree_->error);
        return 0;
    }
    setLocalPath(tree_->updatesPath);
    kind_ = commandLine.kind();
    if (!takeRemotePath(commandLine))
        return 0;
    writeBanner(localPath_, remotePath_);
    for (const QString &warning : tree_->warnings)
        qInfo("%s", qUtf8Printable(warning));
    // Not a reason to skip the check: only --shutdown cannot reach this run.
    if (!channelError_.isEmpty())
        reportError(channelError_);
    QMetaObject::invokeMethod(this, "checkForUpdates", Qt::QueuedConnection);
    return exec();
}

bool UpdaterApp::takeRemotePath(const CommandLine &commandLine)
{
    const QString remote = commandLine.remotePath();
    QString scheme;
    switch (checkRemotePath(remote, &scheme)) {
    case RemoteCheck::Invalid:
        decide(Outcome::Failed, QStringLiteral("Remote path %1 is not valid").arg(remote));
        return false;
    case RemoteCheck::UnsupportedScheme:
        decide(Outcome::Failed,
            QStringLiteral(
                "Unsupported protocol used for remote path %1. Supported protocols are %2")
                .arg(scheme, supportedSchemes().join(QLatin1Char(','))));
        return false;
    case RemoteCheck::Valid:
        break;
    }
    setRemotePath(remote + commandLine.kindSegment());
    return true;
}

void UpdaterApp::reportError(const QString &line)
{
    // Standard error always; the log too once there is one.
    if (!logPath_.isEmpty())
        Console::write(line + QLatin1Char('\n'), Console::Stream::Err);
    qInfo("%s", qUtf8Printable(line));
}
