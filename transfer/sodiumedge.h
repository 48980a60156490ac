#ifndef SODIUMEDGE_H
#define SODIUMEDGE_H

#include <QByteArray>

#include <memory>

// The only calls into libsodium: the hash minisign signs and the check of
// an Ed25519 signature. Everything around them is plain data handling.

// BLAKE2b with a 64-byte digest and no key, fed as the data arrives.
class Blake2b512 {
public:
    Blake2b512();
    ~Blake2b512();
    Blake2b512(const Blake2b512 &) = delete;
    Blake2b512 &operator=(const Blake2b512 &) = delete;

    void addData(const char *data, qint64 size);
    // The 64-byte digest of everything added; call once, at the end.
    QByteArray result();
    // What has been hashed so far, to go on from in a later run of this
    // same build; restore() takes it back, false when it is not one.
    QByteArray state() const;
    bool restore(const QByteArray &state);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether `signature` (64 bytes) is a valid Ed25519 signature of `message`
// by `publicKey` (32 bytes). Wrong sizes are simply not valid.
bool ed25519Verify(
    const QByteArray &signature, const QByteArray &message, const QByteArray &publicKey);

#endif // SODIUMEDGE_H
