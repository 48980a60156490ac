#ifndef SIGNATUREHASH_H
#define SIGNATUREHASH_H

#include "transfer/sodiumedge.h"

#include <QByteArray>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The BLAKE2b-512 of a download, hashed on a thread of its own while the
// main thread writes the body and hashes its MD5: on two cores a signed
// download then takes about as long as an unsigned one. The data goes
// through a ring of fixed size, so memory stays flat; a full ring makes
// addData() wait.
class SignatureHash {
public:
    SignatureHash();
    ~SignatureHash();
    SignatureHash(const SignatureHash &) = delete;
    SignatureHash &operator=(const SignatureHash &) = delete;

    void addData(const char *data, qint64 size);
    // The digest of everything added; once, at the end.
    QByteArray result();
    // The hash state once everything added is hashed, and that state taken
    // back before any data; see Blake2b512.
    QByteArray state();
    bool restore(const QByteArray &state) { return hash_.restore(state); }

private:
    void hashQueued();
    void finish();

    Blake2b512 hash_;
    std::vector<char> ring_;
    quint64 written_ = 0; // bytes put into the ring, ever
    quint64 hashed_ = 0; // bytes taken out of it
    bool closing_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};

#endif // SIGNATUREHASH_H
