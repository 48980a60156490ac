#include "transfer/md5edge.h"

#include <nettle/md5.h>

#include <cstring>

struct Md5::State {
    md5_ctx context;
};

Md5::Md5()
    : state_(new State)
{
    reset();
}

Md5::~Md5() = default;

void Md5::reset()
{
    md5_init(&state_->context);
}

void Md5::addData(const char *data, qint64 size)
{
    md5_update(&state_->context, size_t(size), reinterpret_cast<const uint8_t *>(data));
}

QByteArray Md5::hexResult() const
{
    md5_ctx copy = state_->context; // md5_digest starts the context afresh
    QByteArray digest(MD5_DIGEST_SIZE, Qt::Uninitialized);
    md5_digest(&copy, MD5_DIGEST_SIZE, reinterpret_cast<uint8_t *>(digest.data()));
    return digest.toHex();
}

QByteArray Md5::state() const
{
    return QByteArray(reinterpret_cast<const char *>(&state_->context), sizeof(md5_ctx));
}

bool Md5::restore(const QByteArray &state)
{
    if (state.size() != int(sizeof(md5_ctx)))
        return false;
    std::memcpy(&state_->context, state.constData(), sizeof(md5_ctx));
    return true;
}
