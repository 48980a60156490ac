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

QUrl remoteRoot(const QString &value)
{
    QUrl url(value, QUrl::TolerantMode);
    if (url.scheme() != QLatin1String("file"))
        return url;
    // file:////server/share, the form Qt writes for a UNC path, names the
    // host the way file://server/share does, which alone survives the
    // collapse of doubled slashes.
    QString path = url.path(QUrl::FullyDecoded);
    if (url.host().isEmpty() && path.startsWith(QLatin1String("//"))) {
        while (path.startsWith(QLatin1Char('/')))
            path.remove(0, 1);
        url.setHost(path.section(QLatin1Char('/'), 0, 0));
        url.setPath(QLatin1Char('/') + path.section(QLatin1Char('/'), 1), QUrl::DecodedMode);
    }
    if (url.host() == QLatin1String("localhost"))
        url.setHost(QString());
    return url;
}

RemoteCheck checkRemotePath(const QString &value, QString *scheme)
{
    const QUrl url = remoteRoot(value);
    if (scheme)
        *scheme = url.scheme();
    if (!url.isValid())
        return RemoteCheck::Invalid;
#ifndef Q_OS_WIN
    // A share is Windows' (\\server\share); elsewhere the host would be dropped.
    if (url.scheme() == QLatin1String("file") && !url.host().isEmpty())
        return RemoteCheck::UnsupportedScheme;
#endif
    return supportedSchemes().contains(url.scheme()) ? RemoteCheck::Valid
                                                     : RemoteCheck::UnsupportedScheme;
}
