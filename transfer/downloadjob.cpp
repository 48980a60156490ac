#include "transfer/downloadjob.h"

#include "transfer/durable.h"
#include "transfer/signaturehash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

namespace {

const char stagingPrefix[] = ".updater-";
// The spelling stays: log readers match this line as it is.
const char storeErrorLine[] = "    ERROR: Cloud not store downloaded file.";
const char stagingSuffix[] = ".part";
const qint64 chunkSize = 256 * 1024;
// Without a known size, one line per this many bytes keeps the log readable.
const qint64 unknownSizeStep = 1024 * 1024;
// Free space is asked again after this many bytes: others write to the volume too.
const qint64 roomRecheck = 64 * 1024 * 1024;
const qint64 unknownRoom = std::numeric_limits<qint64>::max();

QString lengthLine(const char *format, qint64 a, qint64 b)
{
    return QString::asprintf(format, static_cast<long long>(a), static_cast<long long>(b));
}

} // namespace

qint64 freeSpaceReserve(qint64 volumeSize)
{
    return qMin<qint64>(qint64(1) << 30, volumeSize / 20);
}

DownloadJob::DownloadJob(const QString &stagingDir, const QString &destPath,
    const Expectation &expectation, QObject *parent)
    : QObject(parent)
    , staging_(stagingDir + QLatin1Char('/') + QLatin1String(stagingPrefix)
          + QStringLiteral("XXXXXX") + QLatin1String(stagingSuffix))
    , hash_(QCryptographicHash::Md5)
    , destPath_(destPath)
    , expectation_(expectation)
    , buffer_(static_cast<int>(chunkSize), Qt::Uninitialized)
    , written_(0)
    , room_(-1)
    , roomAskedAt_(0)
    , writeFailed_(false)
    , state_(State::Pending)
    , lastPercent_(-1)
    , lastLogged_(-1)
{
    // A staging file that cannot be opened fails the store step, never silently.
    writeFailed_ = !staging_.open();
    // Asking for the name links Linux's unnamed temporary file into the
    // directory, so that a killed run leaves the same leftover everywhere.
    if (!writeFailed_)
        writeFailed_ = staging_.fileName().isEmpty();
}

DownloadJob::~DownloadJob() = default;

void DownloadJob::holdForSignature()
{
    signatureHash_.reset(new SignatureHash);
}

QByteArray DownloadJob::signatureDigest()
{
    return signatureHash_ ? signatureHash_->result() : QByteArray();
}

void DownloadJob::expectLength(qint64 length)
{
    if (state_ != State::Pending || length < 0)
        return;
    const qint64 limit = expectation_.limit;
    if (expectation_.size >= 0 && length != expectation_.size)
        refuse(
            lengthLine("    ERROR: The download announces %lld bytes, but the manifest gives %lld.",
                length, expectation_.size));
    else if (limit >= 0 && length > limit)
        refuse(tooLarge());
    else if (roomFor(length))
        room_ += length; // asked for, not yet written
}

bool DownloadJob::roomFor(qint64 size)
{
    if (size > room_ || written_ - roomAskedAt_ >= roomRecheck) {
        qint64 available = 0, total = 0;
        const QString volume = QFileInfo(staging_.fileName()).absolutePath();
        room_ = Durable::volumeSpace(volume, &available, &total)
            ? available - freeSpaceReserve(total)
            : unknownRoom;
        roomAskedAt_ = written_;
        if (size > room_) {
            refuse(QStringLiteral("    ERROR: Not enough free space: the download would leave less "
                                  "than %1 bytes free on its volume.")
                       .arg(freeSpaceReserve(total)));
            return false;
        }
    }
    room_ -= size;
    return true;
}

void DownloadJob::append(const char *data, qint64 size)
{
    if (state_ != State::Pending)
        return;
    const qint64 most = expectation_.size >= 0 ? expectation_.size : expectation_.limit;
    if (most >= 0 && written_ + size > most) {
        refuse(expectation_.size >= 0 ? lengthLine(
                   "    ERROR: The download ran past the %lld bytes the manifest gives.", most, 0)
                                      : tooLarge());
        return;
    }
    if (!roomFor(size))
        return;
    written_ += size;
    // A view of the bytes, no copy; the pointer overload is deprecated in Qt 6.
    hash_.addData(QByteArray::fromRawData(data, static_cast<int>(size)));
    if (signatureHash_)
        signatureHash_->addData(data, size);
    if (expectation_.keep)
        body_.append(data, static_cast<int>(size));
    if (writeFailed_)
        return;
    const qint64 before = staging_.pos();
    if (staging_.write(data, size) == size) {
        Durable::writeBehind(staging_, before, before + size);
        return;
    }
    discard();
}

void DownloadJob::failToStore()
{
    refuse(QLatin1String(storeErrorLine));
}

QString DownloadJob::tooLarge() const
{
    return QStringLiteral("    ERROR: %1 is larger than the limit of %2 bytes.")
        .arg(QFileInfo(destPath_).fileName())
        .arg(expectation_.limit);
}

void DownloadJob::refuse(const QString &line)
{
    if (state_ != State::Pending)
        return;
    qInfo("%s", qUtf8Printable(line));
    state_ = State::Failed;
    discard();
}

void DownloadJob::discard()
{
    writeFailed_ = true;
    // This body can no longer be stored: give its space back at once, so that
    // a disk it filled still has room for the log lines reporting the failure.
    // Closed first: remove() does nothing while the unwritten rest fails to flush.
    staging_.close();
    staging_.remove();
}

void DownloadJob::drain(QIODevice *source)
{
    while (state_ == State::Pending) {
        const qint64 n = source->read(buffer_.data(), chunkSize);
        if (n <= 0)
            break;
        append(buffer_.constData(), n);
    }
}

void DownloadJob::logProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // After an error the rest of the body is noise in the log.
    if (state_ != State::Pending)
        return;
    if (bytesTotal > 0) {
        const int percent = static_cast<int>(double(bytesReceived) / double(bytesTotal) * 100.0);
        // One line per percent step, and the last one once (the data and the
        // end of the transfer both report it), instead of one per chunk.
        if (percent == lastPercent_
            && (bytesReceived != bytesTotal || bytesReceived == lastLogged_))
            return;
        lastPercent_ = percent;
        lastLogged_ = bytesReceived;
        qInfo("    [%d %%] Downloaded %lld / %lld bytes", percent,
            static_cast<long long>(bytesReceived), static_cast<long long>(bytesTotal));
    } else if (bytesReceived > 0) {
        if (lastLogged_ >= 0 && bytesReceived - lastLogged_ < unknownSizeStep)
            return;
        lastLogged_ = bytesReceived;
        qInfo("    Downloaded %lld bytes", static_cast<long long>(bytesReceived));
    }
}

bool DownloadJob::verify()
{
    qInfo("    Verifying downloaded file ...");
    const QByteArray actual = hash_.result().toHex();
    const QByteArray expected = expectation_.md5.toUtf8();
    if (QString::fromLatin1(actual) != expectation_.md5) {
        qInfo("    FAILURE: MD5 hash of downloaded file was %s, which is distinct from the "
              "expected %s.",
            actual.constData(), expected.constData());
        return false;
    }
    qInfo("    SUCCESS: MD5 hash of downloaded file is %s, as expected.", actual.constData());
    return true;
}

void DownloadJob::store()
{
    // A verified package is the hand-over: its data reach the disk before
    // its name, so that after a power cut available never names zero or
    // stale bytes. Other files are fetched again on every run.
    const bool handOver = !expectation_.md5.isEmpty();
    if (handOver && !Durable::flush(staging_)) {
        reportStoreError();
        state_ = State::Failed;
        return;
    }
    // The hand-over replaces an existing file itself, on Windows in one move.
    if (!handOver && QFile::exists(destPath_))
        QFile::remove(destPath_);
    // Staging files are private; the installation step may run as another user.
    staging_.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    const bool moved
        = handOver ? Durable::moveIntoPlace(staging_, destPath_) : staging_.rename(destPath_);
    if (!moved) {
        reportStoreError();
        state_ = State::Failed;
        return;
    }
    staging_.setAutoRemove(false);
    qInfo("    Finished downloading %lld bytes.",
        static_cast<long long>(QFileInfo(destPath_).size()));
    state_ = State::Stored;
}

void DownloadJob::complete()
{
    if (state_ != State::Pending)
        return;
    if (expectation_.size >= 0 && written_ != expectation_.size) {
        refuse(lengthLine("    ERROR: The download ended after %lld of the %lld bytes the "
                          "manifest gives.",
            written_, expectation_.size));
        return;
    }
    state_ = State::Failed;
    if (writeFailed_ || !staging_.flush()) {
        discard();
        reportStoreError();
        return;
    }
    if (!expectation_.md5.isEmpty() && !verify())
        return;
    if (signatureHash_)
        state_ = State::Verified;
    else
        store();
}

void DownloadJob::reportStoreError()
{
    qInfo("%s", storeErrorLine);
}

void DownloadJob::removeLeftovers(const QString &stagingDir)
{
    if (stagingDir.isEmpty())
        return;
    QDir dir(stagingDir);
    const QStringList names = dir.entryList(
        {QLatin1String(stagingPrefix) + QLatin1Char('*') + QLatin1String(stagingSuffix)},
        QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names)
        dir.remove(name);
}
