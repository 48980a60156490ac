// The part of a package's download: how a transfer goes on from what an
// earlier one left, and what an answer to a request for the rest means.

#include "transfer/downloadjob.h"

#include "transfer/partfile.h"
#include "transfer/signaturehash.h"
#include "trust/fileedge.h"

#include <QRegularExpression>

void DownloadJob::openPart()
{
    file_ = &partFile_;
    partName_ = partName(destPath_, expectation_.md5, expectation_.size, expectation_.signature);
    const QString path = partPath();
    if (!FileEdge::openOwnFile(partFile_, path, QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        // Whatever lies there, a link included, goes: a part is made anew,
        // readable by everyone as the package it becomes.
        FileEdge::removeFile(path);
        FileEdge::removeFile(stagingDir_ + QLatin1Char('/') + stateName(partName_));
        writeFailed_ = !FileEdge::createFile(partFile_, path,
            QIODevice::ReadWrite | QIODevice::Unbuffered, FileEdge::Access::Shared);
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
        const qint64 n = partFile_.read(buffer_.data(), qMin<qint64>(buffer_.size(), to - at));
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

DownloadJob::Answer DownloadJob::answer(int status, const QByteArray &contentRange,
    const QByteArray &etag, const QByteArray &lastModified)
{
    // Only a strong validator can vouch for a range of the same bytes.
    const QByteArray validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag : lastModified;
    if (status == 416 && resumesAt_ > 0) {
        startAgain(QStringLiteral("    The server has no bytes from %1 on: starting again from the "
                                  "first byte.")
                       .arg(resumesAt_));
        return Answer::Again;
    }
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
            refuse(
                QStringLiteral("    ERROR: The server offers %1 bytes, but the manifest gives %2.")
                    .arg(total)
                    .arg(expectation_.size));
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

void DownloadJob::startAgain(const QString &line)
{
    if (state_ != State::Pending)
        return;
    qInfo("%s", qUtf8Printable(line));
    state_ = State::Failed;
    again_ = true;
    startOver();
}
