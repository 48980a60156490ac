#ifndef INSTANCEEDGE_H
#define INSTANCEEDGE_H

#include <QString>
#include <QtGlobal>

class QLocalSocket;

// The platform calls of the lock and the control channel.
namespace InstanceEdge {

// The account's temporary directory. An elevated Windows process takes
// GetTempPath2's, which is SystemTemp for SYSTEM, where the system has it.
QString temporaryDirectory();

// Where a temporary directory that others can change is not used: the
// directory `name` to be made in `parent` (root's /run/corvane-updater), or
// `parent` itself (an account's $XDG_RUNTIME_DIR); nothing elsewhere.
struct Runtime {
    QString parent;
    QString name;
    bool made = false;
};
Runtime runtimeDirectory();

// Connects `socket` to the control channel `name`, for writing. On Windows
// at identification level: a server that squats the name learns who sent
// it, and cannot act as that account.
bool connectTo(QLocalSocket &socket, const QString &name, int waitMs, QString *error);

// The name the control channel listens on for locks in `dir`: a socket in
// that directory, or on Windows a pipe, whose names are machine-wide.
QString serverName(const QString &dir, const QString &id);

// Windows: makes the first instance of the pipe, for the running account
// and the administrators only, so that a pipe another program made first
// is noticed; listen() then adds its own. Releases it when destroyed.
class PipeClaim {
public:
    explicit PipeClaim(const QString &name);
    ~PipeClaim();
    PipeClaim(const PipeClaim &) = delete;
    PipeClaim &operator=(const PipeClaim &) = delete;
    bool held() const { return held_; }

private:
    bool held_ = true;
    [[maybe_unused]] void *handle_ = nullptr; // Windows only
};

// Whether the server at the other end of a connected local socket runs as
// the running account, root, SYSTEM or an administrator.
bool peerIsTrusted(qintptr descriptor);

} // namespace InstanceEdge

#endif // INSTANCEEDGE_H
