#include "transfer/downloadjob.h"

#include "transfer/durable.h"
#include "transfer/partfile.h"
#include "transfer/signaturehash.h"
#include "trust/fileedge.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <limits>

namespace {

const char temporaryPattern[] = ".updater-*.tmp";
// The spelling stays: log readers match this line as it is.
const char storeErrorLine[] = "    ERROR: Cloud not store downloaded file.";
const qint64 chunkSize = 256 * 1024;
// Without a known size, one line per this many bytes keeps the log readable.
const qint64 unknownSizeStep = 1024 * 1024;
// Free space is asked again after this many bytes: others write to the volume too.
const qint64 roomRecheck = 64 * 1024 * 1024;
// A killed run loses at most this much hashing: its state is saved this often.
const qint64 stateStep = 64 * 1024 * 1024;
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

DownloadJob::DownloadJob(
    const QString &stagingDir, const QString &destPath, const Expectation &expectation)
    : temporary_(stagingDir + QStringLiteral("/.updater-XXXXXX.tmp"))
    , file_(&temporary_)
    , stagingDir_(stagingDir)
    , destPath_(destPath)
    , expectation_(expectation)
    , buffer_(static_cast<int>(chunkSize), Qt::Uninitialized)
    , part_(!expectation.md5.isEmpty())
{
}

DownloadJob::~DownloadJob()
{
    if (part_ && partFile_.isOpen() && state_ != State::Stored)
        saveState();
}

void DownloadJob::holdForSignature()
{
    signatureHash_.reset(new SignatureHash);
}

void DownloadJob::open()
{
    if (part_) {
        openPart();
        return;
    }
    // A staging file that cannot be opened fails the store step, never silently.
    writeFailed_ = !temporary_.open();
    // Asking for the name links Linux's unnamed temporary file into the
    // directory, so that a killed run leaves the same leftover everywhere.
    if (!writeFailed_)
        writeFailed_ = temporary_.fileName().isEmpty();
}

void DownloadJob::openPart()
{
    file_ = &partFile_;
    partName_ = partName(destPath_, expectation_.md5, expectation_.size, expectation_.signature);
    const QString path = partPath();
    if (!FileEdge::openOwnFile(partFile_, path, QIODevice::ReadWrite)) {
        // Whatever lies there, a link included, goes: a part is made anew.
        FileEdge::removeFile(path);
        FileEdge::removeFile(stagingDir_ + QLatin1Char('/') + stateName(partName_));
        writeFailed_ = !FileEdge::createFile(
            partFile_, path, QIODevice::ReadWrite, FileEdge::Access::Private);
        return;
    }
    const qint64 size = partFile_.size();
    const std::optional<PartState> state = readState(stagingDir_, partName_);
    bool restored = state && state->offset <= size && hash_.restore(state->md5)
        && (!signatureHash_ || signatureHash_->restore(state->blake2b));
    if (!restored) {
        hash_.reset();
        if (signatureHash_)
            signatureHash_.reset(new SignatureHash);
    }
    // Only what the saved hashes do not cover is read again.
    if ((expectation_.size >= 0 && size > expectation_.size)
        || !rehash(restored ? state->offset : 0, size)) {
        startOver();
        return;
    }
    validator_ = state ? state->validator : QByteArray();
    resumesAt_ = written_ = savedAt_ = size;
}

bool DownloadJob::rehash(qint64 from, qint64 to)
{
    if (!partFile_.seek(from))
        return false;
    for (qint64 at = from; at < to;) {
        const qint64 n = partFile_.read(buffer_.data(), qMin(chunkSize, to - at));
        if (n <= 0)
            return false;
        hash_.addData(buffer_.constData(), n);
        if (signatureHash_)
            signatureHash_->addData(buffer_.constData(), n);
        at += n;
    }
    return partFile_.seek(to);
}

void DownloadJob::startOver()
{
    writeFailed_ = !partFile_.resize(0) || !partFile_.seek(0);
    hash_.reset();
    if (signatureHash_)
        signatureHash_.reset(new SignatureHash);
    validator_.clear();
    resumesAt_ = written_ = savedAt_ = 0;
    room_ = -1;
}

void DownloadJob::saveState()
{
    if (writeFailed_ || !partFile_.flush())
        return;
    writeState(stagingDir_, partName_,
        {written_, validator_, hash_.state(),
            signatureHash_ ? signatureHash_->state() : QByteArray()});
    savedAt_ = written_;
}

QByteArray DownloadJob::signatureDigest()
{
    return signatureHash_ ? signatureHash_->result() : QByteArray();
}

DownloadJob::Answer DownloadJob::answer(int status, const QByteArray &contentRange,
    const QByteArray &etag, const QByteArray &lastModified)
{
    // Only a strong validator can vouch for a range of the same bytes.
    const QByteArray validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag : lastModified;
    if (status != 200 && status != 206) {
        ignoreBody_ = true; // an error's body or a redirect's is no part of the package
        return Answer::Append;
    }
    if (status == 200 && resumesAt_ > 0) {
        qInfo("    The server sent the whole file: starting again from its first byte.");
        startOver();
    }
    if (status == 206) {
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
        const QRegularExpressionMatch match = range.match(QString::fromLatin1(contentRange));
        const qint64 first = match.captured(1).toLongLong(), last = match.captured(2).toLongLong(),
                     total = match.captured(3).toLongLong();
        if (match.hasMatch() && expectation_.size >= 0 && total != expectation_.size) {
            refuse(lengthLine("    ERROR: The server offers %lld bytes, but the manifest gives %lld.",
                total, expectation_.size));
            return Answer::Stop;
        }
        if (!match.hasMatch() || first != resumesAt_ || last != total - 1 || resumesAt_ == 0) {
            startAgain(QStringLiteral("    The server sent bytes %1, not the rest from byte %2: "
                                      "starting again from the first byte.")
                           .arg(QString::fromLatin1(contentRange))
                           .arg(resumesAt_));
            return Answer::Again;
        }
    }
    if (!validator.isEmpty())
        validator_ = validator;
    return Answer::Append;
}

void DownloadJob::expectLength(qint64 length)
{
    if (state_ != State::Pending || length < 0 || ignoreBody_)
        return;
    const qint64 limit = expectation_.limit, total = written_ + length;
    if (expectation_.size >= 0 && total != expectation_.size)
        refuse(
            lengthLine("    ERROR: The download announces %lld bytes, but the manifest gives %lld.",
                total, expectation_.size));
    else if (limit >= 0 && length > limit)
        refuse(tooLarge());
    else if (roomFor(length)) // only what is still to come
        room_ += length; // asked for, not yet written
}

bool DownloadJob::roomFor(qint64 size)
{
    if (size > room_ || written_ - roomAskedAt_ >= roomRecheck) {
        qint64 available = 0, total = 0;
        room_ = Durable::volumeSpace(stagingDir_, &available, &total)
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
    if (state_ != State::Pending || ignoreBody_)
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
    hash_.addData(data, size);
    if (signatureHash_)
        signatureHash_->addData(data, size);
    if (expectation_.keep)
        body_.append(data, static_cast<int>(size));
    if (writeFailed_)
        return;
    const qint64 before = file_->pos();
    if (file_->write(data, size) != size) {
        discard();
        return;
    }
    Durable::writeBehind(*file_, before, before + size);
    if (part_ && written_ - savedAt_ >= stateStep)
        saveState();
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

void DownloadJob::fail()
{
    if (state_ == State::Pending)
        state_ = State::Failed;
}

void DownloadJob::interrupt(const QString &line)
{
    if (state_ != State::Pending)
        return;
    if (!line.isEmpty())
        qInfo("%s", qUtf8Printable(line));
    state_ = State::Failed;
    interrupted_ = part_;
    if (part_)
        saveState();
}

void DownloadJob::startAgain(const QString &line)
{
    if (state_ != State::Pending)
        return;
    qInfo("%s", qUtf8Printable(line));
    state_ = State::Failed;
    again_ = true;
    startOver();
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
    file_->close();
    if (!part_) {
        temporary_.remove();
        return;
    }
    FileEdge::removeFile(partPath());
    FileEdge::removeFile(stagingDir_ + QLatin1Char('/') + stateName(partName_));
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
    if (state_ != State::Pending || ignoreBody_)
        return;
    // Counted over the whole file, what an earlier transfer left included.
    bytesReceived += resumesAt_;
    bytesTotal = bytesTotal > 0 ? bytesTotal + resumesAt_ : bytesTotal;
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
    const QByteArray actual = hash_.hexResult();
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
    const QString staged = part_ ? partPath() : file_->fileName();
    if (part_ && !Durable::flush(*file_)) {
        reportStoreError();
        state_ = State::Failed;
        return;
    }
    // Staging files are private; the installation step may run as another user.
    // On Windows, where the DACL decides, Qt sets only the read-only attribute
    // (never wanted here), and by name, which a part opened by handle lacks.
#if !defined(Q_OS_WIN)
    file_->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadGroup | QFileDevice::ReadOther);
#endif
    // A name that stood there (a link included) is replaced, never followed.
    // Qt renames a temporary file only onto no name, and alone can on Windows.
    if (part_)
        file_->close();
    else
        FileEdge::removeFile(destPath_);
    if (!(part_ ? Durable::moveIntoPlace(staged, destPath_) : temporary_.rename(destPath_))) {
        reportStoreError();
        state_ = State::Failed;
        return;
    }
    temporary_.setAutoRemove(false);
    if (part_)
        FileEdge::removeFile(stagingDir_ + QLatin1Char('/') + stateName(partName_));
    qInfo("    Finished downloading %lld bytes.",
        static_cast<long long>(QFileInfo(destPath_).size()));
    state_ = State::Stored;
}

void DownloadJob::complete()
{
    if (state_ != State::Pending)
        return;
    if (ignoreBody_) {
        fail();
        return;
    }
    // A body that ended short was cut off: what came stays for the rest.
    if (expectation_.size >= 0 && written_ != expectation_.size) {
        interrupt(lengthLine("    ERROR: The download ended after %lld of the %lld bytes the "
                             "manifest gives.",
            written_, expectation_.size));
        if (!part_)
            discard();
        return;
    }
    state_ = State::Failed;
    if (writeFailed_ || !file_->flush()) {
        discard();
        reportStoreError();
        return;
    }
    // A part that does not verify, garbled or mixed, is never gone on from.
    if (!expectation_.md5.isEmpty() && !verify()) {
        discard();
        return;
    }
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
    const QStringList names = QDir(stagingDir).entryList(
        {QLatin1String(temporaryPattern)}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names)
        FileEdge::removeFile(stagingDir + QLatin1Char('/') + name);
}
