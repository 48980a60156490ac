// remoteUrl on any root (the first line of the input) and name (the rest). The application
// object takes the instance lock in TMPDIR, which tools/fuzz.sh makes one of its own.
#include "fuzz.h"

#include "app/commandline.h"
#include "app/updaterapp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char *argv[] = {const_cast<char *>("fuzz_remoteurl"), nullptr};
    static UpdaterApp *app = new UpdaterApp(argc, argv);
    const QString text = textFrom(data, size), root = text.section(QLatin1Char('\n'), 0, 0);
    const QString file = text.section(QLatin1Char('\n'), 1);
    app->setRemotePath(root);
    const QUrl url = app->remoteUrl(file), stored(app->remotePath(), QUrl::TolerantMode);
    const QString path = url.path(QUrl::FullyDecoded);
    // No "//" ever; the name used as given, neither escaped nor trimmed; and a root the
    // command line lets through keeps everything but its path: scheme, host, query, fragment.
    FUZZ_CHECK(!path.contains(QLatin1String("//")), text);
    FUZZ_CHECK(file.contains(QLatin1Char('/')) || path.endsWith(QLatin1Char('/') + file), text);
    FUZZ_CHECK(checkRemotePath(root) != RemoteCheck::Valid
            || url.adjusted(QUrl::RemovePath) == stored.adjusted(QUrl::RemovePath),
        text);
    return 0;
}
