#ifndef READLIMIT_H
#define READLIMIT_H

#include <QtGlobal>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Issues a GET whose reply buffers at most `limit` bytes from its first byte
// on. Qt hands a reply's read-buffer limit to its network thread only after
// the request has started there; a thread that reads first buffers without
// bound, and the main thread's later reads then count as credit against the
// limit for the rest of the transfer.
QNetworkReply *getWithReadLimit(
    QNetworkAccessManager &manager, const QNetworkRequest &request, qint64 limit);

#endif // READLIMIT_H
