#include "transfer/sodiumedge.h"

#include <sodium.h>

#include <cstring>

namespace {

const int digestSize = 64;

// Picks the fastest implementations for this processor; safe to repeat.
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

struct Blake2b512::State {
    crypto_generichash_state hash;
};

Blake2b512::Blake2b512()
    : state_(new State)
{
    sodiumReady();
    crypto_generichash_init(&state_->hash, nullptr, 0, digestSize);
}

Blake2b512::~Blake2b512() = default;

void Blake2b512::addData(const char *data, qint64 size)
{
    crypto_generichash_update(&state_->hash, reinterpret_cast<const unsigned char *>(data),
        static_cast<unsigned long long>(size));
}

QByteArray Blake2b512::result()
{
    QByteArray digest(digestSize, Qt::Uninitialized);
    crypto_generichash_final(
        &state_->hash, reinterpret_cast<unsigned char *>(digest.data()), digestSize);
    return digest;
}

QByteArray Blake2b512::state() const
{
    return QByteArray(reinterpret_cast<const char *>(&state_->hash), sizeof(state_->hash));
}

bool Blake2b512::restore(const QByteArray &state)
{
    if (state.size() != int(sizeof(state_->hash)))
        return false;
    std::memcpy(&state_->hash, state.constData(), sizeof(state_->hash));
    return true;
}

bool ed25519Verify(
    const QByteArray &signature, const QByteArray &message, const QByteArray &publicKey)
{
    if (!sodiumReady() || signature.size() != crypto_sign_BYTES
        || publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.data()),
               reinterpret_cast<const unsigned char *>(message.data()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char *>(publicKey.data()))
        == 0;
}
