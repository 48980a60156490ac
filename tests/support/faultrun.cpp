#include "support/faultrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Faults {

bool nobodyIds(uint *uid, uint *gid)
{
    const passwd *user = ::getpwnam("nobody");
    if (!user)
        return false;
    *uid = user->pw_uid;
    const group *nogroup = ::getgrnam("nogroup");
    *gid = nogroup ? nogroup->gr_gid : user->pw_gid;
    return true;
}

QString cannotRunAsNobody(const QString &tmpDir)
{
    uint uid = 0;
    uint gid = 0;
    if (::geteuid() != 0)
        return QStringLiteral("changing the user needs root");
    if (!nobodyIds(&uid, &gid))
        return QStringLiteral("there is no user nobody");
    if (::chown(QFile::encodeName(tmpDir).constData(), uid, gid) != 0)
        return QStringLiteral("cannot hand a directory to nobody");
    // The binary must be reachable for that user, and the sanitizers' files too.
    LimitedProcess probe(ChildSetup {-1, true});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmpDir);
    probe.setProcessEnvironment(env);
    probe.start(TestSupport::updaterBinary(), {QStringLiteral("--version")});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0) {
        probe.kill();
        probe.waitForFinished(5000);
        return QStringLiteral("the updater does not run as nobody: ")
            + QString::fromLocal8Bit(probe.readAllStandardError());
    }
    return QString();
}

LimitedProcess::LimitedProcess(const ChildSetup &setup, QObject *parent)
    : QProcess(parent)
    , setup_(setup)
{
    // Looked up here: between fork and exec only plain system calls are safe.
    if (setup_.asNobody)
        nobodyIds(&uid_, &gid_);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    setChildProcessModifier([this]() { applySetup(); });
#endif
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void LimitedProcess::setupChildProcess()
{
    applySetup();
}
#endif

void LimitedProcess::applySetup()
{
    if (setup_.fileSizeLimit >= 0) {
        const rlimit limit {rlim_t(setup_.fileSizeLimit), rlim_t(setup_.fileSizeLimit)};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(120);
    }
    if (setup_.asNobody) {
        // A child that kept root would make the case prove nothing: stop it.
        if (uid_ == 0 || ::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0)
            ::_exit(121);
    }
}

TestSupport::RunResult runUpdater(
    const QStringList &args, const QString &tmpDir, const ChildSetup &setup, int timeoutMs)
{
    LimitedProcess process(setup);
    TestSupport::prepareUpdater(process, args, tmpDir);
    QElapsedTimer timer;
    timer.start();
    process.start();
    // The event loop runs meanwhile: the test's own servers answer the child.
    const bool finished = QTest::qWaitFor(
        [&process]() { return process.state() == QProcess::NotRunning; }, timeoutMs);
    return TestSupport::collectRun(process, finished, timer.elapsed());
}

QString runDefect(const TestSupport::RunResult &run, qint64 boundMs)
{
    if (!run.finished)
        return QStringLiteral("the updater did not finish before its watchdog");
    if (run.exitStatus != QProcess::NormalExit)
        return QStringLiteral("the updater died of signal %1: %2")
            .arg(run.exitCode)
            .arg(QString::fromLocal8Bit(run.err));
    if (run.exitCode != 0)
        return QStringLiteral("exit code %1: %2")
            .arg(run.exitCode)
            .arg(QString::fromLocal8Bit(run.err));
    if (run.elapsedMs > boundMs)
        return QStringLiteral("the run took %1 ms, more than %2").arg(run.elapsedMs).arg(boundMs);
    return QString();
}

QString logDefect(const QString &logPath)
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("no log at ") + logPath;
    const QByteArray content = file.readAll();
    if (!content.endsWith('\n'))
        return QStringLiteral("the log does not end with a whole line");
    const QList<QByteArray> lines = content.left(content.size() - 1).split('\n');
    static const QRegularExpression stamped(
        QStringLiteral("^<\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d:\\d{3}>  ."));
    for (int i = 0; i < lines.size(); ++i) {
        if (!stamped.match(QString::fromLatin1(lines.at(i))).hasMatch())
            return QStringLiteral("line %1 is not a stamped line: %2")
                .arg(i + 1)
                .arg(QString::fromLatin1(lines.at(i).left(200)));
    }
    const QStringList messages = TestSupport::logMessages(logPath);
    if (messages.value(0) != QString(56, QLatin1Char('=')))
        return QStringLiteral("the log does not start with the banner: ") + messages.value(0);
    return QString();
}

QString logText(const QString &logPath)
{
    return TestSupport::logMessages(logPath).join(QLatin1Char('\n'));
}

TmpfsMount::TmpfsMount(const QString &dir, const QString &size)
    : dir_(QFileInfo(dir).absoluteFilePath())
{
    const QByteArray target = QFile::encodeName(dir_);
    const QByteArray options = "size=" + size.toLatin1();
    if (::mount("tmpfs", target.constData(), "tmpfs", 0, options.constData()) == 0)
        mounted_ = true;
    else
        error_ = QString::fromLocal8Bit(std::strerror(errno));
}

TmpfsMount::~TmpfsMount()
{
    if (mounted_)
        ::umount2(QFile::encodeName(dir_).constData(), MNT_DETACH);
}

bool TmpfsMount::remountReadOnly()
{
    const QByteArray target = QFile::encodeName(dir_);
    if (::mount("tmpfs", target.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0)
        return true;
    error_ = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace Faults
