#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include <QByteArray>

// The publisher's public key this updater is built with, the key line of
// a minisign public key file; empty in a build without one. Each program
// links the one small object that the build generates for it.
QByteArray builtInSigningKey();

#endif // SIGNINGKEY_H
