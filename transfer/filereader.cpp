#include "transfer/filereader.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

const qint64 pieceSize = 256 * 1024;
const size_t mostWaiting = 4; // pieces: memory stays at about 1 MiB
const qint64 notOpenedYet = -2;

QEvent::Type readEvent()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

struct FileReader::Channel {
    enum class End { Reading, Done, Failed };

    std::mutex mutex;
    std::condition_variable space;
    std::deque<QByteArray> pieces;
    QObject *receiver = nullptr; // null once the reader is gone
    bool posted = false;
    bool sizeReported = false;
    qint64 size = notOpenedYet;
    End end = End::Reading;

    // Under the lock: so no event is posted to a reader being destroyed.
    void post()
    {
        if (receiver && !posted) {
            posted = true;
            QCoreApplication::postEvent(receiver, new QEvent(readEvent()));
        }
    }
};

namespace {

void readFile(const QString path, qint64 offset, const std::shared_ptr<FileReader::Channel> channel)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)
        && (offset == 0 || offset > file.size() || (!file.isSequential() && file.seek(offset)));
    {
        std::lock_guard<std::mutex> lock(channel->mutex);
        channel->size = !opened ? notOpenedYet : (file.isSequential() ? -1 : file.size());
        channel->end
            = opened ? FileReader::Channel::End::Reading : FileReader::Channel::End::Failed;
        channel->post();
    }
    while (opened) {
        QByteArray piece = file.read(pieceSize);
        std::unique_lock<std::mutex> lock(channel->mutex);
        if (piece.isEmpty()) {
            channel->end = file.error() == QFileDevice::NoError ? FileReader::Channel::End::Done
                                                                : FileReader::Channel::End::Failed;
            channel->post();
            return;
        }
        channel->space.wait(lock,
            [&channel] { return channel->pieces.size() < mostWaiting || !channel->receiver; });
        if (!channel->receiver)
            return;
        channel->pieces.push_back(std::move(piece));
        channel->post();
    }
}

} // namespace

FileReader::FileReader(const QString &path, qint64 offset)
    : path_(path)
    , offset_(offset)
    , channel_(std::make_shared<Channel>())
{
    channel_->receiver = this;
}

FileReader::~FileReader()
{
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        channel_->receiver = nullptr;
    }
    channel_->space.notify_all();
}

void FileReader::start(Handlers handlers)
{
    handlers_ = std::move(handlers);
    std::thread(readFile, path_, offset_, channel_).detach();
}

void FileReader::customEvent(QEvent *event)
{
    if (event->type() != readEvent())
        return;
    std::deque<QByteArray> pieces;
    bool reportSize = false;
    FileReader::Channel::End end = FileReader::Channel::End::Reading;
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        channel_->posted = false;
        pieces.swap(channel_->pieces);
        reportSize = channel_->size != notOpenedYet && !channel_->sizeReported;
        channel_->sizeReported = channel_->sizeReported || reportSize;
        end = channel_->end;
    }
    channel_->space.notify_all();
    if (reportSize)
        handlers_.opened(channel_->size);
    for (const QByteArray &piece : pieces)
        handlers_.piece(piece);
    if (end != FileReader::Channel::End::Reading)
        handlers_.done(end == FileReader::Channel::End::Done);
}
