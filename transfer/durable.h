#ifndef DURABLE_H
#define DURABLE_H

#include <QtGlobal>

class QFileDevice;
class QString;

// Puts a staged package and then its name on stable storage, so that a power
// cut never leaves a name in available over zero or stale bytes. Qt has no
// call for it: this is the one place that asks the platform.
namespace Durable {

// Write-back runs one window behind the data while a body streams in: the
// window just completed is being written while the one before it is waited
// for and dropped from the page cache.
const qint64 writeBehindWindow = 8 * 1024 * 1024;

// Called after each write that took the file from `before` to `after` bytes.
// Only hastens the final flush and spares the page cache: failures show there.
void writeBehind(QFileDevice &file, qint64 before, qint64 after);

// True once everything written to the open file is on stable storage.
bool flush(QFileDevice &file);

// Moves the flushed, closed file `from` to `to`, replacing it; true once the
// new name is on stable storage too.
bool moveIntoPlace(const QString &from, const QString &to);

// The bytes an unprivileged writer may still use on the volume of `dir`, and
// the volume's size; false when the system cannot tell.
bool volumeSpace(const QString &dir, qint64 *available, qint64 *total);

} // namespace Durable

#endif // DURABLE_H
