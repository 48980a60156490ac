#ifndef DOWNLOADJOB_H
#define DOWNLOADJOB_H

#include <QCryptographicHash>
#include <QObject>
#include <QString>
#include <QTemporaryFile>

#include "transfer/watchdog.h"

#include <memory>

class SignatureHash;
class QIODevice;

// What a body must be besides whole, and what becomes of it.
struct Expectation {
    QString md5; // the digest it must have; empty: not checked
    qint64 size = -1; // the exact size the manifest gives; -1: none
    qint64 limit = -1; // the most bytes taken (manifests, signatures); -1: none
    bool keep = false; // keep the body in memory too (small files only)
    WatchLimits limits; // what no server can lift
};

// Free space a download leaves on its volume: the smaller of 1 GiB and 5 %.
qint64 freeSpaceReserve(qint64 volumeSize);

// The state of one download: a hidden staging file beside the destination's
// tree, the digest of everything written to it, and the rules for handing
// the result over. It belongs to its reply, so its handlers never outlive it.
class DownloadJob : public QObject {
public:
    // Verified: staged and checked, held for store() (see holdForSignature).
    enum class State { Pending, Verified, Stored, Failed };

    DownloadJob(const QString &stagingDir, const QString &destPath, const Expectation &expectation,
        QObject *parent = nullptr);
    ~DownloadJob() override;

    // Hashes the body for a signature check as it arrives, and keeps it
    // staged after its digest checks out, until store(). Call before any data.
    void holdForSignature();
    // The BLAKE2b-512 of the body of a held job; once, when it is Verified.
    QByteArray signatureDigest();

    State state() const { return state_; }

    // The length the body announces (Content-Length, a file's size), known
    // before its first byte: fails the job at once when it cannot be taken.
    void expectLength(qint64 length);
    // Appends everything the device has to offer now.
    void drain(QIODevice *source);
    void append(const char *data, qint64 size);
    // The body, when kept; once it is stored.
    QByteArray body() const { return body_; }
    void logProgress(qint64 bytesReceived, qint64 bytesTotal);

    // Verifies the staged body and renames it into place; logs the outcome.
    void complete();
    void fail() { state_ = State::Failed; }
    // Fails with its own line, giving the staging file's space back at once.
    void refuse(const QString &line);
    // The same with the line of every download that could not be stored.
    void failToStore();
    // Renames the staged body into place; logs the outcome.
    void store();

    // The line of every download that could not be stored.
    static void reportStoreError();

    // Staging files left behind by a run that was killed.
    static void removeLeftovers(const QString &stagingDir);

private:
    bool roomFor(qint64 size);
    QString tooLarge() const; // the line of a body past its limit
    void discard();
    bool verify();

    QTemporaryFile staging_;
    QCryptographicHash hash_;
    std::unique_ptr<SignatureHash> signatureHash_;
    QString destPath_;
    Expectation expectation_;
    QByteArray buffer_;
    QByteArray body_;
    qint64 written_;
    qint64 room_; // bytes that may still be written before free space is asked again
    qint64 roomAskedAt_;
    bool writeFailed_;
    State state_;
    int lastPercent_;
    qint64 lastLogged_;
};

#endif // DOWNLOADJOB_H
