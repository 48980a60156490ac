#ifndef DOWNLOADJOB_H
#define DOWNLOADJOB_H

#include "transfer/md5edge.h"
#include "transfer/watchdog.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTemporaryFile>

#include <array>
#include <memory>

class SignatureHash;
class QIODevice;

// What a body must be besides whole, and what becomes of it.
struct Expectation {
    QString md5; // the digest it must have; empty: not checked
    qint64 size = -1; // the exact size the manifest gives; -1: none
    qint64 limit = -1; // the most bytes taken (manifests, signatures); -1: none
    bool keep = false; // keep the body in memory too (small files only)
    // A keyed build's signature of the package, which a kept part belongs to.
    QByteArray signature;
    WatchLimits limits; // what no server can lift
    // The pauses before each resumption of an interrupted package in the run;
    // never longer than the stall limit, which only tests shorten.
    std::array<int, 3> pausesMs {
        {qMin(1000, limits.stallMs), qMin(5000, limits.stallMs), qMin(15000, limits.stallMs)}};
};

// Free space a download leaves on its volume: the smaller of 1 GiB and 5 %.
qint64 freeSpaceReserve(qint64 volumeSize);

// The state of one transfer of one file: where its body is staged, the
// digest of everything staged, and the rules for handing the result over.
// A package (a body with a digest to check) is staged in its part, which
// outlives an interruption (see partfile.h); other files in a hidden
// temporary file beside the destination's tree.
class DownloadJob : public QObject {
public:
    // Verified: staged and checked, held for store() (see holdForSignature).
    enum class State { Pending, Verified, Stored, Failed };
    // What to make of the answer to a request for the rest.
    enum class Answer { Append, Again, Stop };

    DownloadJob(const QString &stagingDir, const QString &destPath, const Expectation &expectation);
    ~DownloadJob() override; // keeps a part's state when it is left unfinished

    // Hashes the body for a signature check as it arrives, and keeps it
    // staged after its digest checks out, until store(). Before open().
    void holdForSignature();
    // Opens the staging file: a part goes on from what an earlier transfer left.
    void open();
    // The BLAKE2b-512 of the body of a held job; once, when it is Verified.
    QByteArray signatureDigest();

    State state() const { return state_; }
    bool isPart() const { return part_; }
    qint64 resumesAt() const { return resumesAt_; } // bytes kept from earlier
    qint64 written() const { return written_; }
    QByteArray validator() const { return validator_; }
    // Interrupted by the network or a stall: the part stays for the rest.
    bool interrupted() const { return interrupted_; }
    // The answer did not fit what was asked: the next request starts afresh.
    bool again() const { return again_; }

    // The response's status and headers, before its body: whether it
    // continues the part, starts it over, or cannot be taken.
    Answer answer(int status, const QByteArray &contentRange, const QByteArray &etag,
        const QByteArray &lastModified);
    // The length the body announces (Content-Length, a file's size past
    // the part), known before its first byte: fails the job at once when it
    // cannot be taken.
    void expectLength(qint64 length);
    // Appends everything the device has to offer now.
    void drain(QIODevice *source);
    void append(const char *data, qint64 size);
    // The body, when kept; once it is stored.
    QByteArray body() const { return body_; }
    void logProgress(qint64 bytesReceived, qint64 bytesTotal);

    // Verifies the staged body and renames it into place; logs the outcome.
    void complete();
    void fail();
    // Fails with `line`, keeping a part for the rest.
    void interrupt(const QString &line);
    // Fails with its own line, giving the staging file's space back at once.
    void refuse(const QString &line);
    // The same with the line of every download that could not be stored.
    void failToStore();
    // The part was not what it should be: the next transfer starts afresh.
    void startAgain(const QString &line);
    // Renames the staged body into place; logs the outcome.
    void store();
    // Removes what is staged, a part and its state included.
    void discard();

    // The line of every download that could not be stored.
    static void reportStoreError();

    // Temporary files left behind by a run that was killed; parts stay.
    static void removeLeftovers(const QString &stagingDir);

private:
    void openPart();
    QString partPath() const { return stagingDir_ + QLatin1Char('/') + partName_; }
    bool rehash(qint64 from, qint64 to);
    void startOver();
    void saveState();
    bool roomFor(qint64 size);
    QString tooLarge() const; // the line of a body past its limit
    bool verify();

    QTemporaryFile temporary_;
    QFile partFile_;
    QFile *file_;
    QString stagingDir_, partName_;
    Md5 hash_;
    std::unique_ptr<SignatureHash> signatureHash_;
    QString destPath_;
    Expectation expectation_;
    QByteArray buffer_;
    QByteArray body_;
    QByteArray validator_;
    bool part_;
    qint64 resumesAt_ = 0;
    qint64 written_ = 0;
    qint64 savedAt_ = 0;
    qint64 room_ = -1; // bytes that may still be written before free space is asked again
    qint64 roomAskedAt_ = 0;
    bool writeFailed_ = false;
    bool interrupted_ = false;
    bool again_ = false;
    bool ignoreBody_ = false;
    State state_ = State::Pending;
    int lastPercent_ = -1;
    qint64 lastLogged_ = -1;
};

#endif // DOWNLOADJOB_H
