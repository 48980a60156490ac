#include "app/signingkey.h"
#include "app/updaterapp.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // Past a file size limit the kernel would kill the process outright;
    // ignored, the write fails instead and the download reports it.
    std::signal(SIGXFSZ, SIG_IGN);
    // Whatever the caller's umask, nothing this process creates (the log,
    // its copies, the manifest, packages) can be written by other accounts.
    ::umask(022);
#endif
    UpdaterApp app(argc, argv);
    app.setSigningKey(builtInSigningKey());
    return app.run();
}
