#include "support/logcapture.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace TestSupport {

namespace {
LogCapture *current = nullptr;
} // namespace

LogCapture::LogCapture()
    : previous_(nullptr)
{
    current = this;
    previous_ = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous_);
    current = nullptr;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QCoreApplication *app = QCoreApplication::instance();
    const bool mainThread = !app || QThread::currentThread() == app->thread();
    // The network layer may warn from its own threads; only our lines matter here.
    if (type != QtInfoMsg || !mainThread || !current) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        return;
    }
    current->lines_.append(message);
    emit current->lineLogged(message);
}

} // namespace TestSupport
