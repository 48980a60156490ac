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
    const QString joined = arguments.join(QLatin1Char(' '));
    if (!parsed)
        FUZZ_CHECK(!commandLine.errorText().isEmpty(), Fuzz::quoted(joined));

    const bool shutdown = commandLine.shutdown();
    const bool help = commandLine.help();
    const bool version = commandLine.version();
    Q_UNUSED(shutdown)
    Q_UNUSED(help)
    Q_UNUSED(version)
    if (!commandLine.hasLocalPath())
        FUZZ_CHECK(commandLine.localPath().isEmpty(), Fuzz::quoted(joined));
    if (!commandLine.hasRemotePath())
        FUZZ_CHECK(commandLine.remotePath().isEmpty(), Fuzz::quoted(joined));

    const QString kind = commandLine.kindSegment();
    FUZZ_CHECK(
        kind.size() >= 2 && kind.startsWith(QLatin1Char('/')) && kind.endsWith(QLatin1Char('/')),
        Fuzz::quoted(kind));
    checkRemote(commandLine);
    return 0;
}
