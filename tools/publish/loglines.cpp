#include "loglines.h"

namespace {

QStringList *capturedLines = nullptr;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (capturedLines)
        capturedLines->append(message);
}

} // namespace

QStringList captureLog(const std::function<void()> &work)
{
    QStringList lines;
    QStringList *outer = capturedLines;
    capturedLines = &lines;
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    work();
    qInstallMessageHandler(previous);
    capturedLines = outer;
    return lines;
}
