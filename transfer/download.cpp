#include "app/updaterapp.h"

#include "transfer/downloadjob.h"
#include "transfer/filereader.h"
#include "transfer/readlimit.h"
#include "trust/trustedpath.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// Bounds what Qt buffers for a reply: memory stays flat whatever the size.
const qint64 replyBufferSize = 1024 * 1024;

// Qt 5.15 renamed the error notification; older versions only have the overload.
auto replyErrorSignal()
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    return &QNetworkReply::errorOccurred;
#else
    return QOverload<QNetworkReply::NetworkError>::of(&QNetworkReply::error);
#endif
}

// Qt 5.15 renamed the attribute; Qt 6 kept only the new name.
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
const QNetworkRequest::Attribute http2Allowed = QNetworkRequest::Http2AllowedAttribute;
#else
const QNetworkRequest::Attribute http2Allowed = QNetworkRequest::HTTP2AllowedAttribute;
#endif

QByteArray userAgent()
{
    return QStringLiteral("%1-%2-%3")
        .arg(QCoreApplication::organizationName(), QCoreApplication::applicationName(),
            QCoreApplication::applicationVersion())
        .toLower()
        .replace(QLatin1Char(' '), QLatin1Char('_'))
        .toLatin1();
}

// A redirect completes like any response, and its body is not the file: say
// so, or the log shows only a digest that does not match.
void reportRedirect(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 300 || status > 399)
        return;
    qInfo("    WARNING: Server answered %d %s and pointed to %s; redirects are not followed.",
        status,
        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray().constData(),
        reply->rawHeader("Location").constData());
}

// Errors of the link itself, after which the rest is worth asking for:
// closed, reset, refused, unreachable, timed out, and those of a proxy.
bool isInterruption(QNetworkReply::NetworkError code)
{
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    default:
        return false;
    }
}

} // namespace

QString UpdaterApp::stagingDirectory(const QString &destPath) const
{
    // Never inside available: a half-written file there would pass for a package.
    return localPath_.isEmpty() ? QFileInfo(destPath).absolutePath() : localPath_;
}

bool UpdaterApp::download(const QUrl &url, const QString &destPath, const QString &expectedMd5)
{
    Expectation expectation;
    expectation.md5 = expectedMd5;
    return download(url, destPath, expectation);
}

bool UpdaterApp::download(const QUrl &url, const QString &destPath, const Expectation &expectation)
{
    return transfer(url, destPath, expectation, nullptr);
}

std::optional<QByteArray> UpdaterApp::fetchSmall(
    const QString &name, const QString &destPath, qint64 limit)
{
    Expectation expectation;
    expectation.limit = limit;
    expectation.keep = true;
    QByteArray body;
    if (!transfer(remoteUrl(name), destPath, expectation, nullptr, &body))
        return std::nullopt;
    return body;
}

bool UpdaterApp::transfer(const QUrl &url, const QString &destPath, const Expectation &expectation,
    std::unique_ptr<DownloadJob> *held, QByteArray *body)
{
    qInfo("Downloading %s to %s", qUtf8Printable(url.toString()), qUtf8Printable(destPath));
    if (downloadLoop_.isRunning())
        return false;
    const bool local = url.scheme() == QLatin1String("file");
    if (local && !isTrustedSource(url))
        return false;
    bool startedAgain = false;
    for (int attempt = 0;; ++attempt) {
        auto job = std::make_unique<DownloadJob>(stagingDirectory(destPath), destPath, expectation);
        if (held)
            job->holdForSignature();
        job->open();
        if (attempt == 0 && job->resumesAt() > 0)
            qInfo("    Resuming at byte %lld of %lld, kept from an earlier run.",
                static_cast<long long>(job->resumesAt()), static_cast<long long>(expectation.size));
        if (local)
            copyLocalFile(url, *job, expectation.limits);
        else
            fetch(url, *job, expectation.limits);
        if (job->isPart()) // a package's bytes, for the run's status
            record_.bytes += job->written() - job->resumesAt();
        if (job->state() == DownloadJob::State::Stored) {
            if (body)
                *body = job->body();
            return true;
        }
        if (held && job->state() == DownloadJob::State::Verified) {
            *held = std::move(job);
            return true;
        }
        // An answer that did not fit what was asked: once more, from the start.
        if (job->again() && !startedAgain && !stopping_) {
            startedAgain = true;
            --attempt;
            continue;
        }
        if (!job->interrupted() || stopping_ || attempt >= int(expectation.pausesMs.size()))
            return false;
        const int pause = expectation.pausesMs[size_t(attempt)];
        qInfo("    Interrupted: resuming at byte %lld of %lld in %g s.",
            static_cast<long long>(job->written()), static_cast<long long>(expectation.size),
            pause / 1000.0);
        job.reset(); // keeps the part's state for the next one
        if (!pauseFor(pause))
            return false;
    }
}

bool UpdaterApp::pauseFor(int ms)
{
    // In the download loop, which a shutdown message ends at once.
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &downloadLoop_, [this] { downloadLoop_.exit(0); });
    timer.start(ms);
    downloadLoop_.exec();
    return !stopping_;
}

void UpdaterApp::fetch(const QUrl &url, DownloadJob &job, const WatchLimits &limits)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // The same wire on every Qt: a redirect is a failed download (Qt 6 would
    // follow it), and HTTP/1.1 only (Qt 6 would take HTTP/2 where TLS offers it).
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(http2Allowed, false);
    if (job.isPart()) {
        // The bytes as stored, so that a range of them is a range of the package.
        request.setRawHeader("Accept-Encoding", "identity");
        if (job.resumesAt() > 0) {
            request.setRawHeader("Range", "bytes=" + QByteArray::number(job.resumesAt()) + '-');
            if (!job.validator().isEmpty())
                request.setRawHeader("If-Range", job.validator());
        }
    }
    QNetworkReply *reply = getWithReadLimit(network_, request, replyBufferSize);
    watchReply(reply, &job);
    auto *watch = new TransferWatch(
        limits,
        [this, &job](const QString &line, bool stalled) {
            if (stalled)
                job.interrupt(line);
            else
                job.refuse(line);
            downloadLoop_.exit(1);
        },
        &job);
    connect(reply, &QNetworkReply::metaDataChanged, watch, [watch] {
        watch->headerEnded();
        watch->moved();
    });
    connect(reply, &QNetworkReply::readyRead, watch, &TransferWatch::moved);
    if (job.state() == DownloadJob::State::Pending)
        downloadLoop_.exec();
    // Ended from outside, or by a limit: nothing more of this reply is taken.
    abandonReply(reply, &job);
    delete watch;
}

// The four handlers of one reply; they live as long as its job.
void UpdaterApp::watchReply(QNetworkReply *reply, DownloadJob *job)
{
    connect(
        reply, &QNetworkReply::downloadProgress, job,
        [job](qint64 received, qint64 total) { job->logProgress(received, total); },
        Qt::DirectConnection);
    // The length is known before the body: one that cannot be taken ends it here.
    connect(
        reply, &QNetworkReply::metaDataChanged, job,
        [this, job, reply]() {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (job->isPart()
                && job->answer(status, reply->rawHeader("Content-Range"), reply->rawHeader("ETag"),
                       reply->rawHeader("Last-Modified"))
                    != DownloadJob::Answer::Append)
                downloadLoop_.exit(1);
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid())
                job->expectLength(length.toLongLong());
            if (job->state() == DownloadJob::State::Failed)
                downloadLoop_.exit(1);
        },
        Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::readyRead, job,
        [this, job, reply]() {
            job->drain(reply);
            if (job->state() == DownloadJob::State::Failed)
                downloadLoop_.exit(1);
        },
        Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::finished, job,
        [this, job, reply]() {
            reportRedirect(reply);
            // An error reply never hands its body over, whatever arrived.
            if (reply->error() == QNetworkReply::NoError) {
                job->drain(reply);
                job->complete();
            } else {
                job->fail();
            }
            downloadLoop_.exit(job->state() == DownloadJob::State::Stored ? 0 : 1);
        },
        Qt::DirectConnection);
    connect(
        reply, replyErrorSignal(), job,
        [this, job, reply](QNetworkReply::NetworkError code) {
            qInfo(
                "    ERROR: (%d) %s", static_cast<int>(code), qUtf8Printable(reply->errorString()));
            if (isInterruption(code)) {
                job->drain(reply); // what came before the break is kept
                job->interrupt(QString());
            }
            job->fail();
            downloadLoop_.exit(1);
        },
        Qt::DirectConnection);
}

void UpdaterApp::abandonReply(QNetworkReply *reply, DownloadJob *job)
{
    // Only our handlers: the manager's own hook on the reply must stay,
    // or onReplyFinished never releases the reply.
    QObject::disconnect(reply, nullptr, job, nullptr);
    if (reply->isFinished())
        return;
    job->fail();
    // A reply that reported its error finishes by itself; aborting it
    // would report a second error, which Qt logs as an internal problem.
    if (reply->error() == QNetworkReply::NoError)
        reply->abort();
}

bool UpdaterApp::isTrustedSource(const QUrl &url)
{
    // A repository that others can change could hand the updater a link to
    // what they cannot read themselves, or a package of theirs: it is held to
    // the local path's rule. A share's rights are its server's to keep.
    const QString source = QFileInfo(url.toLocalFile()).absoluteFilePath();
    if (!url.host().isEmpty())
        return true;
    const TrustedPath path = openTrusted(source, Scope::Write, Last::File);
    // A file that is not there fails as every file that cannot be read.
    if (path.ok() || path.missing)
        return true;
    qInfo("    ERROR: Refusing to read %s: %s.", qUtf8Printable(source),
        qUtf8Printable(path.refusal));
    return false;
}

void UpdaterApp::copyLocalFile(const QUrl &url, DownloadJob &job, const WatchLimits &limits)
{
    // Read off the event loop, which a share that stalls would block.
    FileReader reader(QFileInfo(url.toLocalFile()).absoluteFilePath(), job.resumesAt());
    const auto settled = [this, &job] {
        if (job.state() != DownloadJob::State::Pending)
            downloadLoop_.exit(job.state() == DownloadJob::State::Stored ? 0 : 1);
    };
    TransferWatch watch(limits, [&job, settled](const QString &line, bool) {
        job.interrupt(line); // a read stuck in the file system is left behind
        settled();
    });
    watch.headerEnded();
    bool opened = false;
    reader.start({[&](qint64 size) {
                      opened = true;
                      watch.moved();
                      if (size >= 0 && size < job.resumesAt())
                          job.startAgain(QStringLiteral("    The file is shorter than what was "
                                                        "kept of it: starting again."));
                      else if (size >= 0)
                          job.expectLength(size - job.resumesAt());
                      settled();
                  },
        [&](const QByteArray &piece) {
            watch.moved();
            job.append(piece.constData(), piece.size());
            settled();
        },
        [&](bool ok) {
            // A share that fails after opening is a break in the link.
            if (!ok && opened)
                job.interrupt(QStringLiteral("    ERROR: Reading the file failed after %1 bytes.")
                                  .arg(job.written()));
            else if (!ok)
                job.failToStore();
            job.complete();
            settled();
        }});
    if (job.state() == DownloadJob::State::Pending)
        downloadLoop_.exec();
    job.fail(); // ended from outside: nothing of this read is stored afterwards
}

void UpdaterApp::onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    reply->ignoreSslErrors(errors);
}

void UpdaterApp::onReplyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
}
