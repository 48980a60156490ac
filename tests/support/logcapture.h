#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QObject>
#include <QStringList>
#include <QtGlobal>

namespace TestSupport {

// Records the information-level messages of this process, in order, for as
// long as it lives; other messages go to standard error. Installing it
// replaces whatever handler was there (such as the log file's), which comes
// back when it is destroyed. One at a time.
class LogCapture : public QObject {
    Q_OBJECT

public:
    LogCapture();
    ~LogCapture() override;

    QStringList lines() const { return lines_; }
    void clear() { lines_.clear(); }

signals:
    // Emitted on the main thread, from inside the message handler.
    void lineLogged(const QString &line);

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QStringList lines_;
    QtMessageHandler previous_;
};

} // namespace TestSupport

#endif // LOGCAPTURE_H
