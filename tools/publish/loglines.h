#ifndef PUBLISH_LOGLINES_H
#define PUBLISH_LOGLINES_H

#include <QStringList>

#include <functional>

// Runs `work` and returns the lines it logged through qInfo and friends, in
// order, instead of letting them reach the previous message handler. The
// updater's decision functions log their check lines this way, so the tool
// can show the publisher exactly what an updater writes.
QStringList captureLog(const std::function<void()> &work);

#endif // PUBLISH_LOGLINES_H
