#ifndef LOGSINK_H
#define LOGSINK_H

#include <QString>
#include <QtGlobal>

class UpdaterApp;

// The updater's own lines hand their text arguments to qInfo as UTF-8, which
// is how the message logger reads %s: the local 8-bit encoding of Windows
// would turn every accented letter of a path into '?' on the way.

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

namespace LogSink {
// The handler writes only while a live application object is attached;
// messages before construction or during teardown are dropped.
void attach(UpdaterApp *app);
void detach(UpdaterApp *app);

// One log line, byte for byte, without the time stamp lookup.
QByteArray formatLine(QtMsgType type, const QString &timeStamp, const QString &message);
} // namespace LogSink

#endif // LOGSINK_H
