// Malformed command lines by the thousand, each run by the real updater:
// real options with and without values, "=" forms, unknown options, empty
// and very long values, non-ASCII text, random bytes, dashes missing or
// doubled. Every run must end by itself with exit code 0, 1 or 2.
//
// The lines come from a seeded generator (FAULTS_CMDLINE_SEED repeats a run,
// FAULTS_CMDLINE_COUNT sets the count: 10000 by default, 1000 in a sanitizer
// build, whose runs take about four times as long). Nothing they name can
// reach outside the case directory: each runs in a directory of its own with
// its own TMPDIR, remote roots are file URLs into that directory or a port on
// 127.0.0.1 that refuses connections, and generated text has no scheme, no
// "..", no percent sign (which URLs would decode into dots) and no leading "/".

#include "support/fakehttpserver.h"
#include "support/malformedlines.h"
#include "support/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLockFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool sanitized = true;
#else
const bool sanitized = false;
#endif
#else
const bool sanitized = false;
#endif

const int slotCount = 4; // plus one slot whose runs are never the primary
const unsigned watchdogSeconds = 30;
const qint64 totalDeadlineMs = 15 * 60 * 1000;
// Exit code the sanitizers use here, so that a finding never passes for 1.
const char sanitizerExit[] = ":exitcode=86";

// One directory in which runs take place one after another.
struct Slot {
    QByteArray dir;
    QByteArray errPath;
    std::vector<QByteArray> env;
    std::vector<char *> envp;
};

struct Failure {
    int index;
    QByteArray line;
    QByteArray what;
};

QByteArray printable(const QList<QByteArray> &line)
{
    QByteArray text;
    for (const QByteArray &arg : line)
        text += " '" + arg.left(200).toPercentEncoding(" /=-._:@~") + '\'';
    return text;
}

} // namespace

class CommandLineFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void malformedLines();

private:
    bool prepareSlot(int number, bool nonPrimary);
    pid_t spawn(const Slot &slot, const QList<QByteArray> &line);
    QByteArray judge(int status, const Slot &slot) const;
    void runAll(int count, quint32 seed);

    QTemporaryDir dir_;
    TestSupport::RefusingPort refusing_;
    QByteArray binary_;
    std::vector<Slot> slots_;
    std::unique_ptr<QLockFile> heldLock_;
    std::map<int, int> exitCodes_;
    QList<Failure> failures_;
    int failureCount_ = 0;
};

void CommandLineFaults::initTestCase()
{
    QVERIFY(dir_.isValid());
    QVERIFY(refusing_.port() != 0);
    binary_ = QFile::encodeName(TestSupport::updaterBinary());
    ::signal(SIGALRM, SIG_DFL);
    for (int i = 0; i <= slotCount; ++i)
        QVERIFY2(prepareSlot(i, i == slotCount), "a case directory could not be made");
}

bool CommandLineFaults::prepareSlot(int number, bool nonPrimary)
{
    const QString dir = dir_.filePath(QStringLiteral("slot%1").arg(number));
    const QByteArray package = "package bytes";
    const QByteArray manifest = "{\"md5\": \"" + TestSupport::md5Hex(package)
        + "\", \"os\": \"windows\", \"compatible_os_version\": \"any\", \"version\": \"9.0\", "
          "\"package\": \"pkg.bin\"}";
    if (!QDir().mkpath(dir + QStringLiteral("/a")) || !QDir().mkpath(dir + QStringLiteral("/tmp"))
        || !QDir().mkpath(dir + QStringLiteral("/\u00fc-dir"))
        || !TestSupport::writeFile(dir + QStringLiteral("/b/updates/available/waiting.bin"), "w")
        || !TestSupport::writeFile(dir + QStringLiteral("/file"), "a file")
        || !TestSupport::writeFile(dir + QStringLiteral("/repo/pc/updates.json"), manifest)
        || !TestSupport::writeFile(dir + QStringLiteral("/repo/pc/pkg.bin"), package))
        return false;
    if (nonPrimary) {
        // This process holds the instance lock of the slot for good.
        heldLock_.reset(new QLockFile(dir + QStringLiteral("/tmp/OrbApplicationUpdater-lock")));
        if (!heldLock_->tryLock(0))
            return false;
    }
    Slot slot;
    slot.dir = QFile::encodeName(dir);
    slot.errPath = slot.dir + "/stderr";
    for (char **entry = environ; *entry; ++entry) {
        QByteArray item(*entry);
        if (item.startsWith("TMPDIR="))
            continue;
        if (item.startsWith("ASAN_OPTIONS=") || item.startsWith("UBSAN_OPTIONS="))
            item += sanitizerExit;
        slot.env.push_back(item);
    }
    slot.env.push_back("TMPDIR=" + slot.dir + "/tmp");
    for (const char *name : {"ASAN_OPTIONS=", "UBSAN_OPTIONS="}) {
        if (qgetenv(QByteArray(name).chopped(1).constData()).isNull())
            slot.env.push_back(name + QByteArray(sanitizerExit + 1));
    }
    slots_.push_back(slot);
    return true;
}

pid_t CommandLineFaults::spawn(const Slot &slot, const QList<QByteArray> &line)
{
    // Everything the child needs is made before the fork.
    const QByteArray port = QByteArray::number(refusing_.port());
    QList<QByteArray> args {binary_};
    for (QByteArray arg : line)
        args << arg.replace("@SLOT@", slot.dir).replace("@PORT@", port);
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const QByteArray &item : slot.env)
        envp.push_back(const_cast<char *>(item.constData()));
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // The watchdog: an alarm survives exec and kills a run that hangs.
    ::alarm(watchdogSeconds);
    const int null = ::open("/dev/null", O_RDWR);
    const int err = ::open(slot.errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::chdir(slot.dir.constData()) != 0 || null < 0 || err < 0)
        ::_exit(125);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(err, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(126);
}

QByteArray CommandLineFaults::judge(int status, const Slot &slot) const
{
    if (WIFEXITED(status) && WEXITSTATUS(status) <= 2)
        return QByteArray();
    QFile err(QFile::decodeName(slot.errPath));
    const QByteArray output = err.open(QIODevice::ReadOnly) ? err.read(2000) : QByteArray();
    if (WIFSIGNALED(status))
        return "killed by signal " + QByteArray::number(WTERMSIG(status))
            + (WTERMSIG(status) == SIGALRM ? " (the watchdog: it hung)" : "") + "\n" + output;
    return "exit code " + QByteArray::number(WEXITSTATUS(status)) + "\n" + output;
}

void CommandLineFaults::runAll(int count, quint32 seed)
{
    Faults::LineGenerator generator(seed);
    std::map<pid_t, std::pair<int, QList<QByteArray>>> running; // pid -> index, line
    std::vector<pid_t> slotPid(slots_.size(), 0);
    QElapsedTimer total;
    total.start();
    int started = 0;
    while ((started < count || !running.empty()) && total.elapsed() < totalDeadlineMs) {
        for (size_t s = 0; s < slots_.size() && started < count; ++s) {
            if (slotPid[s] != 0)
                continue;
            const QList<QByteArray> line = generator.next();
            slotPid[s] = spawn(slots_[s], line);
            running[slotPid[s]] = {started++, line};
        }
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0); // waits for the next run to end
        if (pid <= 0)
            break;
        auto it = running.find(pid);
        if (it == running.end())
            continue;
        const size_t s = size_t(std::find(slotPid.begin(), slotPid.end(), pid) - slotPid.begin());
        const QByteArray what = judge(status, slots_[s]);
        ++exitCodes_[WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)];
        if (!what.isEmpty() && failures_.size() < 5)
            failures_ << Failure {it->second.first, printable(it->second.second), what};
        failureCount_ += what.isEmpty() ? 0 : 1;
        running.erase(it);
        slotPid[s] = 0;
    }
    for (const auto &entry : running)
        ::kill(entry.first, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0) { }
    qInfo("%d lines in %lld ms", started, total.elapsed());
}

void CommandLineFaults::malformedLines()
{
    const QByteArray seedText = qgetenv("FAULTS_CMDLINE_SEED");
    const quint32 seed
        = seedText.isEmpty() ? QRandomGenerator::system()->generate() : seedText.toUInt();
    bool given = false;
    const int count = qEnvironmentVariableIntValue("FAULTS_CMDLINE_COUNT", &given);
    const int lines = given ? count : sanitized ? 1000 : 10000;
    qInfo("seed %u (FAULTS_CMDLINE_SEED=%u repeats it), %d lines, %d runs at a time", seed, seed,
        lines, slotCount + 1);
    runAll(lines, seed);
    int seen = 0;
    for (const auto &entry : exitCodes_) {
        qInfo("exit %d: %d runs", entry.first, entry.second);
        seen += entry.second;
    }
    for (const Failure &failure : failures_)
        qWarning(
            "line %d:%s\n%s", failure.index, failure.line.constData(), failure.what.constData());
    QCOMPARE(seen, lines);
    QVERIFY2(failureCount_ == 0,
        qPrintable(QStringLiteral("%1 runs crashed, hung or gave another code (seed %2)")
                       .arg(failureCount_)
                       .arg(seed)));
    // The generator reaches every outcome, or it tests less than it claims.
    for (int code : {0, 1, 2})
        QVERIFY2(
            exitCodes_[code] > 0, qPrintable(QStringLiteral("no run ended with %1").arg(code)));
}

QTEST_APPLESS_MAIN(CommandLineFaults)
#include "tst_faultscmdline.moc"
