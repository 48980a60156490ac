#include "support/e2esite.h"

#include "support/testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

E2ESite::E2ESite(const QString &baseDir)
    : dir_(baseDir + QStringLiteral("/e2e-XXXXXX"))
{
    for (const QString &sub : {repo(), available(), updates() + QStringLiteral("/cache"),
             local() + QStringLiteral("/backup/logs"), tmp()})
        QDir().mkpath(sub);
    server_.reset(new NginxServer(www(), path() + QStringLiteral("/nginx")));
}

bool E2ESite::serve(const QString &scheme)
{
    return isValid() && (scheme == QLatin1String("file") || server_->start());
}

QByteArray E2ESite::publishPackage(const QString &dir, const QString &name, int size)
{
    const QByteArray package = Repository::packageBytes(size, 5);
    const QString target = www() + QLatin1Char('/') + dir + QStringLiteral("/pc");
    return Repository::publish(target, name, package) ? package : QByteArray();
}

TestSupport::RunResult E2ESite::run(const QStringList &args) const
{
    return TestSupport::runUpdater(args, tmp(), 60000);
}

QString E2ESite::failureOf(const TestSupport::RunResult &run)
{
    if (!run.finished)
        return QStringLiteral("the updater did not finish before its watchdog");
    if (run.exitStatus != QProcess::NormalExit || run.exitCode != 0)
        return QStringLiteral("exit code %1, status %2: %3")
            .arg(run.exitCode)
            .arg(run.exitStatus)
            .arg(QString::fromLocal8Bit(run.err));
    return QString();
}

QString E2ESite::repoUrl(const QString &scheme)
{
    QString root;
    if (scheme == QLatin1String("http"))
        root = server_->httpRoot();
    else if (scheme == QLatin1String("https"))
        root = server_->httpsRoot();
    else
        root = QUrl::fromLocalFile(www()).toString();
    return root + QStringLiteral("/repo");
}

QStringList E2ESite::args(const QString &remote, const QString &appKind) const
{
    QStringList list {
        QStringLiteral("--localPath"), local(), QStringLiteral("--remotePath"), remote};
    if (!appKind.isEmpty())
        list << QStringLiteral("--appKind") << appKind;
    return list;
}

QStringList E2ESite::logMessages() const
{
    return TestSupport::logMessages(logPath());
}

int E2ESite::indexOf(const QString &message, int from) const
{
    return logMessages().indexOf(message, from);
}

int E2ESite::indexOfPrefix(const QString &prefix, int from) const
{
    const QStringList messages = logMessages();
    for (int i = qMax(0, from); i < messages.size(); ++i) {
        if (messages.at(i).startsWith(prefix))
            return i;
    }
    return -1;
}

bool E2ESite::transferring(const QString &name) const
{
    static const QRegularExpression progress(
        QStringLiteral("^    \\[\\d+ %\\] Downloaded \\d+ / \\d+ bytes$"));
    const QStringList messages = logMessages();
    const QString marker = QLatin1Char('/') + name + QStringLiteral(" to ");
    bool started = false;
    for (const QString &message : messages) {
        if (message.startsWith(QLatin1String("Downloading ")))
            started = message.contains(marker);
        else if (started && progress.match(message).hasMatch())
            return true;
    }
    return false;
}

bool E2ESite::logHasLine(const QByteArray &line) const
{
    const QByteArray log = Repository::contentOf(logPath());
    // A line ends where the next stamp begins, or with the file.
    const QByteArray text = QByteArrayLiteral(">  ") + line + '\n';
    for (int at = log.indexOf(text); at >= 0; at = log.indexOf(text, at + 1)) {
        const int end = at + text.size();
        if (end == log.size() || log.at(end) == '<')
            return true;
    }
    return false;
}

namespace {

// One clock for every instance, so that their ends compare.
qint64 monotonicMs()
{
    static const QElapsedTimer clock = []() {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return clock.elapsed();
}

} // namespace

BackgroundUpdater::BackgroundUpdater(const QStringList &args, const QString &tmpDir)
    : process_(TestSupport::startUpdater(args, tmpDir))
    , startedAt_(monotonicMs())
{
    QObject::connect(process_.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
        process_.get(), [this]() { endedAt_ = monotonicMs(); });
    QTimer::singleShot(60000, process_.get(), [this]() { process_->kill(); });
}

BackgroundUpdater::~BackgroundUpdater()
{
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

bool BackgroundUpdater::exitedCleanly() const
{
    return process_->exitStatus() == QProcess::NormalExit && process_->exitCode() == 0;
}

void tolerateOpenSslExitRace(const QString &dir)
{
    const QByteArray options = qgetenv("LSAN_OPTIONS");
    QByteArray suppressions;
    QList<QByteArray> kept;
    for (const QByteArray &option : options.split(':')) {
        if (option.startsWith("suppressions="))
            suppressions = Repository::contentOf(QFile::decodeName(option.mid(13)));
        else if (!option.isEmpty())
            kept << option;
    }
    const QString path = dir + QStringLiteral("/lsan.supp");
    if (!TestSupport::writeFile(path, suppressions + "\nleak:libcrypto.so\n"))
        return;
    kept << "suppressions=" + QFile::encodeName(path);
    qputenv("LSAN_OPTIONS", kept.join(':'));
}

namespace Repository {

QByteArray packageBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 12345u;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

QByteArray manifest(const QString &package, const QString &md5, const QString &version)
{
    QJsonObject object;
    object.insert(QStringLiteral("md5"), md5);
    object.insert(QStringLiteral("os"), QStringLiteral("windows"));
    object.insert(QStringLiteral("compatible_os_version"), QStringLiteral("any"));
    object.insert(QStringLiteral("version"), version);
    object.insert(QStringLiteral("package"), package);
    return QJsonDocument(object).toJson();
}

bool publish(
    const QString &dir, const QString &package, const QByteArray &content, const QString &md5)
{
    const QString digest = md5.isEmpty() ? QString::fromLatin1(TestSupport::md5Hex(content)) : md5;
    if (!TestSupport::writeFile(dir + QStringLiteral("/updates.json"), manifest(package, digest)))
        return false;
    return content.isNull() || TestSupport::writeFile(dir + QLatin1Char('/') + package, content);
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool setModified(const QString &path, const QDateTime &when)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
        && file.setFileTime(when, QFileDevice::FileModificationTime);
}

QDateTime modified(const QString &path)
{
    return QFileInfo(path).fileTime(QFileDevice::FileModificationTime).toUTC();
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList stagingFiles(const QString &updatesDir)
{
    return QDir(updatesDir)
        .entryList({QStringLiteral(".updater-*.part")}, QDir::Files | QDir::Hidden | QDir::System);
}

QStringList snapshot(const QString &root, const QStringList &ignored)
{
    QStringList lines;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        bool skip = false;
        for (const QString &prefix : ignored)
            skip = skip || relative.startsWith(prefix);
        if (skip)
            continue;
        lines << (info.isDir() && !info.isSymLink()
                ? relative + QLatin1Char('/')
                : QStringLiteral("%1 %2").arg(relative).arg(info.size()));
    }
    lines.sort();
    return lines;
}

} // namespace Repository
