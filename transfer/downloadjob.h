#ifndef DOWNLOADJOB_H
#define DOWNLOADJOB_H

#include <QCryptographicHash>
#include <QObject>
#include <QString>
#include <QTemporaryFile>

#include <memory>

class SignatureHash;
class QIODevice;

// The state of one download: a hidden staging file beside the destination's
// tree, the digest of everything written to it, and the rules for handing
// the result over. It belongs to its reply, so its handlers never outlive it.
class DownloadJob : public QObject {
public:
    // Verified: staged and checked, held for store() (see holdForSignature).
    enum class State { Pending, Verified, Stored, Failed };

    DownloadJob(const QString &stagingDir, const QString &destPath, const QString &expectedMd5,
        QObject *parent = nullptr);
    ~DownloadJob() override;

    // Hashes the body for a signature check as it arrives, and keeps it
    // staged after its digest checks out, until store(). Call before any data.
    void holdForSignature();
    // The BLAKE2b-512 of the body of a held job; once, when it is Verified.
    QByteArray signatureDigest();

    State state() const { return state_; }

    // Appends everything the device has to offer now.
    void drain(QIODevice *source);
    void logProgress(qint64 bytesReceived, qint64 bytesTotal);

    // Verifies the staged body and renames it into place; logs the outcome.
    void complete();
    void fail() { state_ = State::Failed; }
    // Renames the staged body into place; logs the outcome.
    void store();

    // The line of every download that could not be stored.
    static void reportStoreError();

    // Staging files left behind by a run that was killed.
    static void removeLeftovers(const QString &stagingDir);

private:
    void append(const char *data, qint64 size);
    void discard();
    bool verify();

    QTemporaryFile staging_;
    QCryptographicHash hash_;
    std::unique_ptr<SignatureHash> signatureHash_;
    QString destPath_;
    QString expectedMd5_;
    QByteArray buffer_;
    bool writeFailed_;
    State state_;
    int lastPercent_;
    qint64 lastLogged_;
};

#endif // DOWNLOADJOB_H
