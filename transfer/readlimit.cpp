#include "transfer/readlimit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <memory>

namespace {

// While a request is issued, Qt moves the object that will run it to the
// network thread; the request's start is posted to that object right after.
// A call queued on the object as it moves goes ahead of the start and waits
// there until the limit has been posted behind it.
class ThreadGate : public QObject {
public:
    explicit ThreadGate(std::shared_ptr<QMutex> closed)
        : closed_(std::move(closed))
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
#if QT_VERSION >= QT_VERSION_CHECK(5, 10, 0)
        if (event->type() == QEvent::ThreadChange) {
            const std::shared_ptr<QMutex> closed = closed_;
            QMetaObject::invokeMethod(
                watched, [closed]() { QMutexLocker wait(closed.get()); }, Qt::QueuedConnection);
        }
#else
        // No queued calls of functions before 5.10: the window stays open there.
        Q_UNUSED(watched)
        Q_UNUSED(event)
#endif
        return false;
    }

private:
    std::shared_ptr<QMutex> closed_;
};

} // namespace

QNetworkReply *getWithReadLimit(
    QNetworkAccessManager &manager, const QNetworkRequest &request, qint64 limit)
{
    const auto closed = std::make_shared<QMutex>();
    QMutexLocker hold(closed.get());
    QNetworkReply *reply = nullptr;
    {
        ThreadGate gate(closed);
        reply = manager.get(request);
    }
    reply->setReadBufferSize(limit);
    return reply;
}
