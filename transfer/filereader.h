#ifndef FILEREADER_H
#define FILEREADER_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// Reads a local file (a share, for a file: remote) on a thread of its own
// and hands it to the main thread piece by piece, so that a share that
// stalls, or a FIFO that never answers, never blocks the event loop: a
// shutdown message still gets through. At most a few pieces wait at a time.
// A reader destroyed while its thread is stuck in the file system leaves
// that thread behind, detached; it touches nothing of the reader's.
class FileReader : public QObject {
public:
    struct Handlers {
        std::function<void(qint64 size)> opened; // -1: not known (a FIFO)
        std::function<void(const QByteArray &piece)> piece;
        std::function<void(bool ok)> done; // false: could not be opened or read
    };

    // From `offset` on: what an earlier transfer kept; the size is the whole file's.
    explicit FileReader(const QString &path, qint64 offset = 0);
    ~FileReader() override;

    // The handlers run on this object's thread, in that order, until done or destruction.
    void start(Handlers handlers);

    struct Channel; // shared with the reading thread

protected:
    void customEvent(QEvent *event) override;

private:
    QString path_;
    qint64 offset_;
    Handlers handlers_;
    std::shared_ptr<Channel> channel_;
};

#endif // FILEREADER_H
