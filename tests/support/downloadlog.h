#ifndef DOWNLOADLOG_H
#define DOWNLOADLOG_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace TestSupport {

// The lines a download writes, for comparing logs with.
namespace DownloadLog {
QString downloading(const QString &url, const QString &dest);
QString verifying();
QString verified(const QByteArray &content);
QString mismatch(const QByteArray &content, const QString &expected);
QString finished(int size);
QString notStored();

// The size of progress lines: none allowed, or a size that was not announced.
const qint64 noProgress = -2;
const qint64 unknownSize = -1;

bool isProgress(const QString &line);
QStringList withoutProgress(const QStringList &log);

// Compares with the expected lines; one ending in "*" needs only its prefix
// and something after it. Fails the running test on a difference.
void compareLines(const QStringList &actual, const QStringList &expected);

// Checks the progress lines of one download against the announced size: the
// percentage truncated from received / total * 100, one line per step, one
// line per MiB when the size is unknown. Fails the running test otherwise.
void checkProgress(const QStringList &log, qint64 total, const QStringList &required, int minimum);
} // namespace DownloadLog

} // namespace TestSupport

#endif // DOWNLOADLOG_H
