// The updater's command line: the input split on NUL bytes is the argument
// list after the program name.
#include "fuzzsupport.h"

#include "app/commandline.h"

#include <QByteArray>
#include <QList>

namespace {

QStringList argumentsFrom(const uint8_t *data, size_t size)
{
    QStringList arguments {QStringLiteral("updater")};
    if (size == 0)
        return arguments;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    for (const QByteArray &piece : bytes.split('\0'))
        arguments << QString::fromUtf8(piece);
    return arguments;
}

// Whether a successful parse must have seen the option: written as --name or
// --name=value, before any "--", and not taken as the value of the option
// in front of it.
bool written(const QStringList &arguments, const char *name)
{
    static const QStringList valueOptions {
        QStringLiteral("--localPath"), QStringLiteral("--remotePath"), QStringLiteral("--appKind")};
    const QString flag = QStringLiteral("--") + QLatin1String(name);
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == QLatin1String("--"))
            return false;
        if (argument == flag || argument.startsWith(flag + QLatin1Char('=')))
            return true;
        if (valueOptions.contains(argument))
            ++i;
    }
    return false;
}

// After a successful parse, the options set are those written.
void checkWritten(const CommandLine &commandLine, const QStringList &arguments)
{
    const auto shown = [&arguments] { return Fuzz::quoted(arguments.join(QChar(0))); };
    FUZZ_CHECK(commandLine.shutdown() == written(arguments, "shutdown"), shown());
    FUZZ_CHECK(commandLine.hasLocalPath() == written(arguments, "localPath"), shown());
    FUZZ_CHECK(commandLine.hasRemotePath() == written(arguments, "remotePath"), shown());
    // Help and version also have short spellings of the parser's own (-h, -?,
    // -v, compacted), so only the long one is checked.
    if (written(arguments, "help"))
        FUZZ_CHECK(commandLine.help(), shown());
    if (written(arguments, "version"))
        FUZZ_CHECK(commandLine.version(), shown());
}

void checkRemote(const CommandLine &commandLine)
{
    QString scheme;
    const RemoteCheck check = checkRemotePath(commandLine.remotePath(), &scheme);
    if (check == RemoteCheck::Valid)
        FUZZ_CHECK(supportedSchemes().contains(scheme), Fuzz::quoted(scheme));
    if (check == RemoteCheck::UnsupportedScheme)
        FUZZ_CHECK(!supportedSchemes().contains(scheme), Fuzz::quoted(scheme));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList arguments = argumentsFrom(data, size);
    CommandLine commandLine;
    const bool parsed = commandLine.parse(arguments);
    // Shows the arguments as the input held them, NUL-separated; built only on failure.
    const auto joined = [&arguments] { return Fuzz::quoted(arguments.join(QChar(0))); };
    if (!parsed)
        FUZZ_CHECK(!commandLine.errorText().isEmpty(), joined());

    if (parsed)
        checkWritten(commandLine, arguments);
    if (!commandLine.hasLocalPath())
        FUZZ_CHECK(commandLine.localPath().isEmpty(), joined());
    if (!commandLine.hasRemotePath())
        FUZZ_CHECK(commandLine.remotePath().isEmpty(), joined());

    const QString kind = commandLine.kindSegment();
    FUZZ_CHECK(
        kind.size() >= 2 && kind.startsWith(QLatin1Char('/')) && kind.endsWith(QLatin1Char('/')),
        Fuzz::quoted(kind));
    checkRemote(commandLine);
    return 0;
}
