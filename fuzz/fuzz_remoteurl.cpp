// remoteUrl on any root and name: the first line of the input is handed to
// setRemotePath, the rest is the file name.
#include "fuzzsupport.h"

#include "app/commandline.h"
#include "app/updaterapp.h"

#include <QDir>

#include <cstdlib>

namespace {

QByteArray tempDir;

void removeTempDir()
{
    QDir(QString::fromLocal8Bit(tempDir)).removeRecursively();
}

// One application object for the whole run; its lock file and socket go to
// a directory of its own so that no real updater is disturbed.
UpdaterApp &application()
{
    static UpdaterApp *app = [] {
        const char *parent = std::getenv("TMPDIR");
        tempDir = QByteArray(parent && *parent ? parent : "/tmp") + "/fuzz_remoteurl.XXXXXX";
        if (!mkdtemp(tempDir.data()))
            Fuzz::fail("mkdtemp", QString::fromLocal8Bit(tempDir));
        setenv("TMPDIR", tempDir.constData(), 1);
        std::atexit(removeTempDir);
        static int argc = 1;
        static char name[] = "fuzz_remoteurl";
        static char *argv[] = {name, nullptr};
        return new UpdaterApp(argc, argv);
    }();
    return *app;
}

// Written without a regular expression, which would skip text with
// unpaired surrogates.
QString collapsed(const QString &path)
{
    QString out;
    for (const QChar c : path) {
        if (c != QLatin1Char('/') || !out.endsWith(QLatin1Char('/')))
            out += c;
    }
    return out;
}

QString describe(const QString &root, const QString &name, const QUrl &url)
{
    return QStringLiteral("root %1 name %2 gave %3 (path %4)")
        .arg(Fuzz::quoted(root), Fuzz::quoted(name), Fuzz::quoted(url.toString(QUrl::FullyEncoded)),
            Fuzz::quoted(url.path(QUrl::FullyDecoded)));
}

// What a validated root (as the command line lets through) must keep.
void checkValidRoot(const QString &root, const QString &name, const QUrl &url)
{
    const QUrl stored(QUrl(root, QUrl::TolerantMode).toString(), QUrl::TolerantMode);
    // Called only when a check fails, so passing inputs pay nothing for it.
    const auto detail = [&] { return describe(root, name, url); };
    FUZZ_CHECK(url.isValid(), detail() + QStringLiteral(": ") + url.errorString());
    FUZZ_CHECK(supportedSchemes().contains(url.scheme()), detail());
    FUZZ_CHECK(url.scheme() == stored.scheme(), detail());
    FUZZ_CHECK(url.authority() == stored.authority(), detail());
    FUZZ_CHECK(url.query() == stored.query(), detail());
    FUZZ_CHECK(url.fragment() == stored.fragment(), detail());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceMessages();
    application();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString name;
    const QString root = Fuzz::firstLine(Fuzz::textFrom(data, size), &name);
    UpdaterApp &app = application();
    app.setRemotePath(root);
    const QUrl url = app.remoteUrl(name);

    const auto detail = [&] { return describe(root, name, url); };
    const QString decoded = url.path(QUrl::FullyDecoded);
    FUZZ_CHECK(!decoded.contains(QLatin1String("//")), detail());
    FUZZ_CHECK(!url.path(QUrl::FullyEncoded).contains(QLatin1String("//")), detail());
    FUZZ_CHECK(!url.path().contains(QLatin1String("//")), detail());
    // The name is used as given, not escaped or trimmed: only slash runs go.
    FUZZ_CHECK(decoded.endsWith(collapsed(QLatin1Char('/') + name)), detail());

    if (checkRemotePath(root) == RemoteCheck::Valid)
        checkValidRoot(root, name, url);
    return 0;
}
