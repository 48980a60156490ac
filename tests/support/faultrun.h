#ifndef FAULTRUN_H
#define FAULTRUN_H

#include "support/testsupport.h"

#include <QProcess>
#include <QString>
#include <QStringList>

// Helpers of the fault injection tests: updater runs under limits the child
// takes on before it starts, checks of what a faulty run left behind, and a
// small tmpfs for a disk that fills up.
namespace Faults {

// What the child process is subjected to before it runs the updater.
struct ChildSetup {
    qint64 fileSizeLimit = -1; // RLIMIT_FSIZE in bytes; -1 leaves it alone
    bool asNobody = false; // runs as user nobody, group nogroup, no groups
};

// The ids of user nobody and its group; false when there is no such user.
bool nobodyIds(uint *uid, uint *gid);
// Why a run as nobody cannot be arranged here; empty when it can. The trial
// run gets tmpDir, which is handed to nobody, as its TMPDIR.
QString cannotRunAsNobody(const QString &tmpDir);

// A QProcess whose child applies the setup between fork and exec.
class LimitedProcess : public QProcess {
public:
    explicit LimitedProcess(const ChildSetup &setup, QObject *parent = nullptr);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif

private:
    // Called between fork and exec.
    void applySetup();

    ChildSetup setup_;
    uint uid_ = 0;
    uint gid_ = 0;
};

// Runs the updater to its end with TMPDIR=tmpDir under the setup; the
// watchdog kills it after timeoutMs. The event loop runs while it waits, so
// servers of this process go on answering the child.
TestSupport::RunResult runUpdater(
    const QStringList &args, const QString &tmpDir, const ChildSetup &setup, int timeoutMs = 60000);

// Empty for a run that ended by itself with code 0 within boundMs; otherwise
// what went wrong (a signal, another code, the watchdog, too long).
QString runDefect(const TestSupport::RunResult &run, qint64 boundMs);

// Empty when the log exists, starts with the banner line and every line of
// it is a whole stamped line; otherwise what is wrong with it.
QString logDefect(const QString &logPath);

// The log's messages with line feeds between them, for failure output.
QString logText(const QString &logPath);

// A tmpfs mounted on a directory for as long as this object lives.
class TmpfsMount {
public:
    TmpfsMount(const QString &dir, const QString &size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool isMounted() const { return mounted_; }
    QString errorString() const { return error_; }
    bool remountReadOnly();

private:
    QString dir_;
    bool mounted_ = false;
    QString error_;
};

} // namespace Faults

#endif // FAULTRUN_H
