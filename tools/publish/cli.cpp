#include "cli.h"

#include "check.h"
#include "promote.h"
#include "publish.h"
#include "rules.h"
#include "signing.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>

namespace {

const QString tool = QStringLiteral("updater-publish");

struct Options {
    QCommandLineOption help {{QStringLiteral("h"), QStringLiteral("help")}, QString()};
    QCommandLineOption root {QStringLiteral("root"), QString(), QStringLiteral("dir")};
    QCommandLineOption kind {QStringLiteral("kind"), QString(), QStringLiteral("kind")};
    QCommandLineOption constraint {QStringLiteral("constraint"), QString(), QStringLiteral("c")};
    QCommandLineOption name {QStringLiteral("name"), QString(), QStringLiteral("name")};
    QCommandLineOption windows {QStringLiteral("windows"), QString(), QStringLiteral("w")};
    QCommandLineOption signature {QStringLiteral("signature"), QString(), QStringLiteral("file")};
    QCommandLineOption pubkey {QStringLiteral("pubkey"), QString(), QStringLiteral("file")};
    QCommandLineOption secretKey {
        QStringLiteral("minisign-key"), QString(), QStringLiteral("file")};
    QCommandLineOption expires {QStringLiteral("expires"), QString(), QStringLiteral("duration")};
    QCommandLineOption from {QStringLiteral("from"), QString(), QStringLiteral("kind")};
    QCommandLineOption to {QStringLiteral("to"), QString(), QStringLiteral("kind")};
    QCommandLineOption current {
        QStringLiteral("current-version"), QString(), QStringLiteral("v"), builtUpdaterVersion()};
};

int usageError(QTextStream &err, const QString &text)
{
    err << "error: " << text << "\nRun " << tool << " --help for usage.\n";
    err.flush();
    return PublishExit::Usage;
}

int runPublish(
    const QCommandLineParser &parser, const Options &o, QTextStream &out, QTextStream &err)
{
    const QStringList args = parser.positionalArguments();
    if (args.size() != 2)
        return usageError(err, QStringLiteral("publish takes PACKAGE and VERSION"));
    if (!parser.isSet(o.root) || !parser.isSet(o.kind))
        return usageError(err, QStringLiteral("publish needs --root and --kind"));
    const PublishRequest request {args[0], args[1], parser.value(o.constraint),
        parser.value(o.kind), parser.value(o.root), parser.value(o.name), parser.value(o.current),
        parser.value(o.signature), parser.value(o.secretKey), parser.value(o.expires)};
    const PublishResult result = publish(request);
    if (result.status != PublishResult::Status::Published) {
        err << "error: " << result.message << '\n';
        err.flush();
        return result.status == PublishResult::Status::Refused ? PublishExit::Invalid
                                                               : PublishExit::Failed;
    }
    out << "Published " << result.packageName << " (" << result.size << " bytes, md5 " << result.md5
        << ") as version " << request.version << " for kind " << request.kind
        << "\n  package:  " << QDir::toNativeSeparators(result.packageTarget) << '\n';
    if (!result.signatureTarget.isEmpty())
        out << "  signature: " << QDir::toNativeSeparators(result.signatureTarget) << '\n';
    if (!result.manifestSignatureTarget.isEmpty())
        out << "  manifest signature: " << QDir::toNativeSeparators(result.manifestSignatureTarget)
            << '\n';
    out << "  manifest: " << QDir::toNativeSeparators(result.manifestPath) << '\n';
    out.flush();
    return PublishExit::Done;
}

void printReport(const CheckRequest &request, const CheckReport &report, QTextStream &out)
{
    out << "Manifest: " << QDir::toNativeSeparators(request.manifestPath) << '\n'
        << "Updater " << request.currentVersion << " on " << generationLabel(request.generation)
        << ":\n";
    for (const QString &line : report.logLines)
        out << "  log: " << line << '\n';
    if (report.digest == DigestState::Verified)
        out << "Package " << report.packageName << ": digest verified (" << report.packageMd5
            << ")\n";
    else if (report.digest == DigestState::NotChecked && !report.packageMd5.isEmpty())
        out << "Package " << report.packageName << ": its digest is " << report.packageMd5 << '\n';
    if (report.signature && report.signature->verdict == SignatureVerdict::Verified)
        out << "Package " << report.packageName << ": signature verified with key "
            << report.signature->keyId << '\n';
    if (report.manifestSignature && report.manifestSignature->verdict == SignatureVerdict::Verified)
        out << "Manifest: signature verified with key " << report.manifestSignature->keyId
            << ", kind " << request.kind << '\n';
    for (const ManifestProblem &problem : report.problems)
        out << (problem.fatal ? "error: " : "warning: ") << problem.text << '\n';
    switch (report.verdict) {
    case Verdict::WouldDownload:
        out << "Result: would download " << report.packageName << " (exit 0)\n";
        break;
    case Verdict::WouldNotDownload:
        out << "Result: would not download (exit 3)\n";
        break;
    case Verdict::Invalid:
        out << "Result: invalid (exit 4)\n";
        break;
    }
    out.flush();
}

int runCheck(const QCommandLineParser &parser, const Options &o, QTextStream &out, QTextStream &err)
{
    const QStringList args = parser.positionalArguments();
    if (args.size() + (parser.isSet(o.root) ? 1 : 0) != 1)
        return usageError(err, QStringLiteral("check takes either MANIFEST or --root"));
    CheckRequest request;
    request.currentVersion = parser.value(o.current);
    request.generation = generationOfName(
        parser.isSet(o.windows) ? parser.value(o.windows) : QStringLiteral("10"));
    if (request.generation < 0)
        return usageError(err,
            QStringLiteral("unknown Windows version \"%1\" (vista, 7, 8, 8.1, 10, 11 or other)")
                .arg(parser.value(o.windows)));
    if (parser.isSet(o.pubkey)) {
        request.key = readPublicKey(parser.value(o.pubkey));
        if (!request.key)
            return usageError(
                err, QStringLiteral("%1 is not a minisign public key").arg(parser.value(o.pubkey)));
    }
    if (parser.isSet(o.kind))
        request.kind = parser.value(o.kind);
    request.manifestPath = args.isEmpty()
        ? QDir(parser.value(o.root)).filePath(request.kind + QStringLiteral("/updates.json"))
        : args.first();
    const CheckReport report = checkManifest(request);
    printReport(request, report, out);
    switch (report.verdict) {
    case Verdict::WouldDownload:
        return PublishExit::Done;
    case Verdict::WouldNotDownload:
        return PublishExit::WouldNotDownload;
    case Verdict::Invalid:
        break;
    }
    return PublishExit::Invalid;
}

int runPromote(
    const QCommandLineParser &parser, const Options &o, QTextStream &out, QTextStream &err)
{
    if (!parser.positionalArguments().isEmpty() || !parser.isSet(o.root) || !parser.isSet(o.from)
        || !parser.isSet(o.to))
        return usageError(err, QStringLiteral("promote takes --root, --from and --to"));
    const PromoteResult result = promote({parser.value(o.root), parser.value(o.from),
        parser.value(o.to), parser.value(o.secretKey), parser.value(o.expires)});
    if (!result.promoted) {
        err << "error: " << result.message << '\n';
        err.flush();
        return result.refused ? PublishExit::Invalid : PublishExit::Failed;
    }
    out << "Promoted " << result.packageName << " (version " << result.version << ") from "
        << parser.value(o.from) << " to " << parser.value(o.to) << '\n';
    out.flush();
    return PublishExit::Done;
}

} // namespace

int runPublishTool(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const QString command = arguments.value(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")
        || command == QLatin1String("help")) {
        out << publishToolHelp();
        out.flush();
        return PublishExit::Done;
    }
    if (command == QLatin1String("--version")) {
        out << tool << ' ' << builtUpdaterVersion() << '\n';
        out.flush();
        return PublishExit::Done;
    }
    const QStringList commands
        = {QStringLiteral("publish"), QStringLiteral("check"), QStringLiteral("promote")};
    if (!commands.contains(command))
        return usageError(err,
            command.isEmpty() ? QStringLiteral("no command given")
                              : QStringLiteral("unknown command \"%1\"").arg(command));
    const Options o;
    QCommandLineParser parser;
    parser.addOptions({o.help, o.root, o.kind, o.current});
    if (command == QLatin1String("publish"))
        parser.addOptions({o.constraint, o.name, o.signature, o.secretKey, o.expires});
    else if (command == QLatin1String("check"))
        parser.addOptions({o.windows, o.pubkey});
    else
        parser.addOptions({o.from, o.to, o.secretKey, o.expires});
    QStringList rest = arguments.mid(2);
    rest.prepend(arguments.value(0));
    if (!parser.parse(rest))
        return usageError(err, parser.errorText());
    if (parser.isSet(o.help)) {
        out << publishToolHelp();
        out.flush();
        return PublishExit::Done;
    }
    if (command == QLatin1String("promote"))
        return runPromote(parser, o, out, err);
    return command == QLatin1String("publish") ? runPublish(parser, o, out, err)
                                               : runCheck(parser, o, out, err);
}
