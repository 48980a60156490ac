#include "support/fakehttpserver.h"

#include <numeric>

namespace TestSupport {

FakeResponse FakeResponse::ok(const QByteArray &body)
{
    FakeResponse response;
    response.body = body;
    return response;
}

FakeResponse FakeResponse::status(int code, const QByteArray &reason, const QByteArray &body)
{
    FakeResponse response;
    response.statusLine = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason;
    response.body = body;
    return response;
}

FakeResponse FakeResponse::redirect(int code, const QByteArray &location, const QByteArray &body)
{
    return status(code, "Found", body).header("Location", location);
}

FakeResponse &FakeResponse::header(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

FakeResponse &FakeResponse::announce(qint64 length)
{
    contentLength = length;
    return *this;
}

FakeResponse &FakeResponse::chunked(const QList<int> &sizes)
{
    chunkSizes = sizes;
    contentLength = -1;
    return *this;
}

FakeResponse &FakeResponse::stallAfter(qint64 bodyBytes)
{
    stallAt = bodyBytes;
    return *this;
}

FakeResponse &FakeResponse::closeAfter(qint64 bodyBytes)
{
    closeAt = bodyBytes;
    return *this;
}

FakeResponse &FakeResponse::trickle(int pieceSize, int intervalMs)
{
    tricklePiece = pieceSize;
    trickleIntervalMs = intervalMs;
    return *this;
}

FakeResponse &FakeResponse::delayBody(int ms)
{
    bodyDelayMs = ms;
    return *this;
}

QByteArray FakeResponse::head() const
{
    QByteArray text = statusLine + "\r\n";
    for (const auto &field : headers)
        text += field.first + ": " + field.second + "\r\n";
    if (!chunkSizes.isEmpty())
        text += "Transfer-Encoding: chunked\r\n";
    else if (contentLength != -1)
        text += "Content-Length: "
            + QByteArray::number(contentLength == -2 ? body.size() : contentLength) + "\r\n";
    text += "Connection: close\r\n\r\n";
    return text;
}

QByteArray FakeResponse::wireBody() const
{
    if (chunkSizes.isEmpty())
        return body;
    QByteArray wire;
    int offset = 0;
    QList<int> sizes = chunkSizes;
    const int scripted = std::accumulate(sizes.cbegin(), sizes.cend(), 0);
    if (scripted < body.size())
        sizes.append(body.size() - scripted);
    for (int size : sizes) {
        const QByteArray piece = body.mid(offset, size);
        offset += piece.size();
        if (piece.isEmpty())
            continue; // an empty chunk would end the body early
        wire += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return wire + "0\r\n\r\n";
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return QByteArray();
}

} // namespace TestSupport
