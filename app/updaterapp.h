#ifndef UPDATERAPP_H
#define UPDATERAPP_H

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QSslError>
#include <QString>
#include <QUrl>

#include "report/status.h"
#include "transfer/signature.h"
#include "trust/fileedge.h"

#include <memory>
#include <optional>
#include <vector>

class CommandLine;
class DownloadJob;
struct Expectation;
struct WatchLimits;
struct LocalTree;
class QLocalServer;
class QLocalSocket;
class QLockFile;
class QNetworkReply;

// The one object of a run: the Qt application, all state of the run and
// the operations of the update check.
class UpdaterApp : public QCoreApplication {
    Q_OBJECT

public:
    UpdaterApp(int &argc, char **argv);
    ~UpdaterApp() override;

    int run();
    QString logFilePath() const;

    void setLocalPath(const QString &path);
    void setRemotePath(const QString &text);
    QUrl remoteUrl(const QString &name) const;
    QString remotePath() const { return remotePath_; }
    // A key built into the updater: every package must then carry a
    // signature made with it. `keyText` as minisign writes a public key.
    void setSigningKey(const QByteArray &keyText);

    bool download(const QUrl &url, const QString &destPath, const QString &expectedMd5);
    bool download(const QUrl &url, const QString &destPath, const Expectation &expectation);
    bool sendMessage(const QString &text);
    void clearAvailable();
    // Each line of the log, as it is written, for the run's status.
    void noteLine(const QString &line);

private slots:
    void checkForUpdates();
    void onNewConnection();
    void onReadyRead();

private:
    int runPrimary(const CommandLine &commandLine);
    // An ERROR line on standard error, and in the log once there is one.
    void reportError(const QString &line);
    void acquireInstance();
    void readMessage(QLocalSocket *socket);
    void releaseInstance();
    void archiveLog();

    // The outcome of the run and the line that decided it; a shutdown's stays.
    void settle(Outcome outcome, const QString &line);
    void decide(Outcome outcome, const QString &line); // logs the line, then settles
    // updates/status.json and the Event Log, at the end of a run in a trusted tree.
    void reportRun();
    QJsonObject previousStatus() const;
    void writeStatus(const QByteArray &text);
    bool takeRemotePath(const CommandLine &commandLine);

    void fetchUpdatesJson();
    // `content`: the manifest as it arrived; null when none was accepted.
    void processUpdatesJson(const QByteArray *content);
    bool downloadPackage(const QJsonObject &manifest);
    bool downloadNamedFile(const QJsonObject &manifest, const QString &key, bool withMd5);
    bool downloadSigned(
        const QString &name, const QString &destPath, const Expectation &expectation);
    // <name>.minisig into the updates directory, and its text; nothing when none came.
    std::optional<QByteArray> fetchSignature(const QString &name);
    bool checkManifestSignature(const QByteArray &manifest);

    // download(); a job given `held` stops short of storing a verified body
    // and is handed over instead; `body` receives a kept body once stored.
    bool transfer(const QUrl &url, const QString &destPath, const Expectation &expectation,
        std::unique_ptr<DownloadJob> *held, QByteArray *body = nullptr);
    // One attempt at the body over the network, or from a file, into `job`.
    void fetch(const QUrl &url, DownloadJob &job, const WatchLimits &limits);
    void copyLocalFile(const QUrl &url, DownloadJob &job, const WatchLimits &limits);
    bool isTrustedSource(const QUrl &url);
    // Waits between two attempts; false when a shutdown message ended it.
    bool pauseFor(int ms);
    // A small remote file (manifest, signature) stored at destPath, and its
    // bytes as they arrived; nothing when it failed or ran past `limit`.
    std::optional<QByteArray> fetchSmall(
        const QString &name, const QString &destPath, qint64 limit);
    QString stagingDirectory(const QString &destPath) const;
    void watchReply(QNetworkReply *reply, DownloadJob *job);
    void abandonReply(QNetworkReply *reply, DownloadJob *job);
    void onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors);
    void onReplyFinished(QNetworkReply *reply);

    const char *appId_;
    bool isPrimary_;
    QString localPath_;
    QString remotePath_;
    std::unique_ptr<QLockFile> lockFile_;
    QString logPath_;
    QNetworkAccessManager network_;
    QLocalServer *localServer_;
    QEventLoop downloadLoop_;
    std::optional<MinisignKey> signingKey_;
    QString kind_; // the --appKind in use, which a signed manifest must name
    QString serverName_; // of the control channel
    QString instanceError_; // why this process can neither work nor be told to stop
    QString channelError_; // why this run cannot be told to stop
    std::vector<FileEdge::Directory> instanceHeld_; // where the lock lives, held for the run
    std::unique_ptr<LocalTree> tree_; // the local path and the updater's tree, held likewise
    bool stopping_ = false; // a shutdown message came: no further step of the check
    RunRecord record_; // what the run's status will tell
};

#endif // UPDATERAPP_H
