#ifndef PARTFILE_H
#define PARTFILE_H

#include <QByteArray>
#include <QString>

#include <optional>

// A package's download is staged in a part that outlives an interruption,
// a stall, a shutdown or a killed run, so that the next transfer asks for
// the rest. Its name says which package it belongs to, so it is only ever
// continued into that one; beside it, a small state file says how far it
// got, with what validator, and the hashes so far.

// The part's name for a package: its destination, digest, size and, in a
// keyed build, its signature. ".updater-<32 hex>.part".
QString partName(const QString &destPath, const QString &md5, qint64 size,
    const QByteArray &signature);
// Its state file's name.
QString stateName(const QString &partName);

struct PartState {
    qint64 offset = 0; // bytes of the part the hashes cover
    QByteArray validator; // the server's ETag or Last-Modified, for If-Range
    QByteArray md5; // hash states, see Md5 and Blake2b512
    QByteArray blake2b;
};

// The state file's bytes, and back; nothing when they are not such a state.
QByteArray encodeState(const PartState &state);
std::optional<PartState> decodeState(const QByteArray &bytes);

// Reads and writes the state file of a part in `dir`: exclusively created,
// then renamed over the old one. Not flushed: a state lost to a power cut
// only costs hashing the part again.
std::optional<PartState> readState(const QString &dir, const QString &part);
void writeState(const QString &dir, const QString &part, const PartState &state);

// Removes the parts in `dir`, and their states, but `keep`.
void removeParts(const QString &dir, const QString &keep = QString());

#endif // PARTFILE_H
