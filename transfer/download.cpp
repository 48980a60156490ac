#include "app/updaterapp.h"

#include "transfer/downloadjob.h"
#include "transfer/filereader.h"
#include "transfer/readlimit.h"
#include "trust/trustedpath.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

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
    if (url.scheme() == QLatin1String("file"))
        return copyLocalFile(url, destPath, expectation, held, body);

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // The same wire on every Qt: a redirect is a failed download (Qt 6 would
    // follow it), and HTTP/1.1 only (Qt 6 would take HTTP/2 where TLS offers it).
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(http2Allowed, false);
    QNetworkReply *reply = getWithReadLimit(network_, request, replyBufferSize);
    auto *job = new DownloadJob(stagingDirectory(destPath), destPath, expectation, reply);
    if (held)
        job->holdForSignature();

    watchReply(reply, job);
    // Ends the transfer with its line; the job and its reply go as usual.
    auto *watch = new TransferWatch(
        expectation.limits,
        [this, job, reply](const QString &line) {
            job->refuse(line);
            abandonReply(reply, job);
            downloadLoop_.exit(1);
        },
        job);
    connect(reply, &QNetworkReply::metaDataChanged, watch, [watch] {
        watch->headerEnded();
        watch->moved();
    });
    connect(reply, &QNetworkReply::readyRead, watch, &TransferWatch::moved);

    if (job->state() == DownloadJob::State::Pending)
        downloadLoop_.exec();
    if (job->state() == DownloadJob::State::Stored) {
        if (body)
            *body = job->body();
        return true;
    }
    if (held && job->state() == DownloadJob::State::Verified) {
        // Out of the finished reply, which is about to be deleted.
        job->setParent(nullptr);
        held->reset(job);
        return true;
    }
    // Ended from outside: nothing of this transfer may be stored afterwards.
    abandonReply(reply, job);
    return false;
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
            job->fail();
            downloadLoop_.exit(1);
        },
        Qt::DirectConnection);
}

void UpdaterApp::abandonReply(QNetworkReply *reply, DownloadJob *job)
{
    if (reply->isFinished())
        return;
    // Only our handlers: the manager's own hook on the reply must stay,
    // or onReplyFinished never releases the reply and its staging file.
    QObject::disconnect(reply, nullptr, job, nullptr);
    job->fail();
    // A reply that reported its error finishes by itself; aborting it
    // would report a second error, which Qt logs as an internal problem.
    if (reply->error() == QNetworkReply::NoError)
        reply->abort();
}

bool UpdaterApp::copyLocalFile(const QUrl &url, const QString &destPath,
    const Expectation &expectation, std::unique_ptr<DownloadJob> *held, QByteArray *body)
{
    // A repository that others can change could hand the updater a link to
    // what they cannot read themselves, or a package of theirs: it is held to
    // the local path's rule. A share's rights are its server's to keep.
    const QString source = QFileInfo(url.toLocalFile()).absoluteFilePath();
    if (url.host().isEmpty()) {
        const TrustedPath path = openTrusted(source, Scope::Write, Last::File);
        // A file that is not there fails as every file that cannot be read.
        if (!path.ok() && !path.missing) {
            qInfo("    ERROR: Refusing to read %s: %s.", qUtf8Printable(source),
                qUtf8Printable(path.refusal));
            return false;
        }
    }
    if (QFile::exists(destPath))
        QFile::remove(destPath);
    auto job = std::make_unique<DownloadJob>(stagingDirectory(destPath), destPath, expectation);
    if (held)
        job->holdForSignature();
    // Read off the event loop, which a share that stalls would block.
    FileReader reader(source);
    DownloadJob *const staged = job.get();
    const auto settled = [this, staged] {
        if (staged->state() != DownloadJob::State::Pending)
            downloadLoop_.exit(staged->state() == DownloadJob::State::Stored ? 0 : 1);
    };
    reader.start({[staged, settled](qint64 size) {
                      staged->expectLength(size);
                      settled();
                  },
        [staged, settled](const QByteArray &piece) {
            staged->append(piece.constData(), piece.size());
            settled();
        },
        [staged, settled](bool ok) {
            if (!ok)
                staged->failToStore();
            staged->complete();
            settled();
        }});
    downloadLoop_.exec();
    if (job->state() == DownloadJob::State::Stored && body)
        *body = job->body();
    if (!held || job->state() != DownloadJob::State::Verified)
        return job->state() == DownloadJob::State::Stored;
    *held = std::move(job);
    return true;
}

void UpdaterApp::onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    reply->ignoreSslErrors(errors);
}

void UpdaterApp::onReplyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
}
