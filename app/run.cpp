#include "app/updaterapp.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QStringList>

namespace {

struct Options {
    QCommandLineOption localPath {QStringLiteral("localPath"),
        QStringLiteral("Local path where updates are stored"), QStringLiteral("localPath")};
    QCommandLineOption remotePath {QStringLiteral("remotePath"),
        QStringLiteral("Remote path where updates are offered"), QStringLiteral("remotePath")};
    QCommandLineOption appKind {QStringLiteral("appKind"),
        QStringLiteral("Type of application. Valid values are kiosk, pc, mac. If unspecified a "
                       "value is chosen between pc and mac."),
        QStringLiteral("appKind")};
    QCommandLineOption shutdown {QStringLiteral("shutdown"),
        QStringLiteral(
            "If another instance of updater is running, it will send a shutdown message to it")};
};

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
    dir.cd(QStringLiteral("updates"));
    if (!dir.exists(QStringLiteral("available")))
        dir.mkdir(QStringLiteral("available"));
    if (!dir.exists(QStringLiteral("cache")))
        dir.mkdir(QStringLiteral("cache"));
    return dir.absolutePath();
}

} // namespace

int UpdaterApp::run()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Software updater for Corvane Mirelle."));
    const Options o;
    parser.addOption(o.localPath);
    parser.addOption(o.remotePath);
    parser.addOption(o.appKind);
    parser.addOption(o.shutdown);
    parser.addHelpOption();
    parser.addVersionOption();

    if (!parser.parse(QCoreApplication::arguments())) {
        qInfo("Cannot parse arguments: %s", local8(parser.errorText()).constData());
        return 1;
    }
    if (!isPrimary_) {
        if (parser.isSet(o.shutdown))
            sendMessage(QStringLiteral("shutdown"));
        return 0;
    }
    if (parser.isSet(o.shutdown))
        return 0;
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.isSet(o.localPath)) {
        qInfo("Local path for updater not set.");
        return 2;
    }
    if (!parser.isSet(o.remotePath)) {
        qInfo("Remote path for updater not set.");
        return 2;
    }
    const QString localValue = parser.value(o.localPath);
    const QDir localDir(localValue);
    if (!localDir.exists()) {
        qInfo("Local path (%s) doesnt exist.", local8(localValue).constData());
        return 0;
    }
    setLocalPath(prepareLocalTree(localDir));

    const QString remoteValue = parser.value(o.remotePath);
    const QUrl remote(remoteValue, QUrl::TolerantMode);
    if (!remote.isValid()) {
        qInfo("Remote path %s is not valid", local8(remoteValue).constData());
        return 0;
    }
    const QStringList schemes {
        QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("file")};
    if (!schemes.contains(remote.scheme())) {
        qInfo("Unsupported protocol used for remote path %s. Supported protocols are %s",
            local8(remote.scheme()).constData(),
            local8(schemes.join(QLatin1Char(','))).constData());
        return 0;
    }
    const QString kind = parser.isSet(o.appKind)
        ? QStringLiteral("/%1/").arg(parser.value(o.appKind))
        : QStringLiteral("/pc/");
    setRemotePath(remoteValue + kind);

    writeBanner(localPath_, remotePath_);
    QMetaObject::invokeMethod(this, "checkForUpdates", Qt::QueuedConnection);
    return exec();
}
