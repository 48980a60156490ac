#include "app/commandline.h"

#include <QCoreApplication>
#include <QUrl>

CommandLine::CommandLine()
    : localPath_(QStringLiteral("localPath"), QStringLiteral("Local path where updates are stored"),
        QStringLiteral("localPath"))
    , remotePath_(QStringLiteral("remotePath"),
          QStringLiteral("Remote path where updates are offered"), QStringLiteral("remotePath"))
    , appKind_(QStringLiteral("appKind"),
          QStringLiteral("Type of application. Valid values are kiosk, pc, mac. If "
                         "unspecified a value is chosen between pc and mac."),
          QStringLiteral("appKind"))
    , shutdown_(QStringLiteral("shutdown"),
          QStringLiteral("If another instance of updater is running, it will send a "
                         "shutdown message to it"))
{
    parser_.setApplicationDescription(QStringLiteral("Software updater for Corvane Mirelle."));
    parser_.addOption(localPath_);
    parser_.addOption(remotePath_);
    parser_.addOption(appKind_);
    parser_.addOption(shutdown_);
    parser_.addHelpOption();
    parser_.addVersionOption();
}

QString CommandLine::kind() const
{
    return parser_.isSet(appKind_) ? parser_.value(appKind_) : QStringLiteral("pc");
}

QString CommandLine::versionText()
{
    return QStringLiteral("%1 %2\n").arg(
        QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
}

QStringList supportedSchemes()
{
    return {QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("file")};
}

RemoteCheck checkRemotePath(const QString &value, QString *scheme)
{
    const QUrl url(value, QUrl::TolerantMode);
    if (scheme)
        *scheme = url.scheme();
    if (!url.isValid())
        return RemoteCheck::Invalid;
    return supportedSchemes().contains(url.scheme()) ? RemoteCheck::Valid
                                                     : RemoteCheck::UnsupportedScheme;
}
