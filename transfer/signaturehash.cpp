#include "transfer/signaturehash.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace {

// Sixteen of the download's 256 KiB pieces: the hash keeps up with the
// disk, so the ring only absorbs the unevenness of the two threads.
const quint64 ringSize = 4 * 1024 * 1024;

} // namespace

SignatureHash::SignatureHash()
    : ring_(ringSize)
{
    try {
        worker_ = std::thread([this]() { hashQueued(); });
    } catch (const std::system_error &) {
        // No thread to be had: addData() hashes in place, which is only slower.
    }
}

SignatureHash::~SignatureHash()
{
    finish();
}

void SignatureHash::addData(const char *data, qint64 size)
{
    if (!worker_.joinable()) {
        hash_.addData(data, size);
        return;
    }
    while (size > 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this]() { return written_ - hashed_ < ringSize; });
        const quint64 at = written_ % ringSize;
        const quint64 n = std::min(
            {static_cast<quint64>(size), ringSize - (written_ - hashed_), ringSize - at});
        // The worker reads only what lies before written_: this part is ours.
        lock.unlock();
        std::memcpy(ring_.data() + at, data, n);
        lock.lock();
        written_ += n;
        changed_.notify_all();
        data += n;
        size -= static_cast<qint64>(n);
    }
}

void SignatureHash::hashQueued()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this]() { return written_ > hashed_ || closing_; });
        if (written_ == hashed_)
            return;
        const quint64 at = hashed_ % ringSize;
        const quint64 n = std::min(written_ - hashed_, ringSize - at);
        lock.unlock();
        hash_.addData(ring_.data() + at, static_cast<qint64>(n));
        lock.lock();
        hashed_ += n;
        changed_.notify_all();
    }
}

void SignatureHash::finish()
{
    if (!worker_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

QByteArray SignatureHash::result()
{
    finish();
    return hash_.result();
}

QByteArray SignatureHash::state()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this]() { return hashed_ == written_ || !worker_.joinable(); });
    return hash_.state();
}
