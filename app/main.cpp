#include "app/signingkey.h"
#include "app/updaterapp.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // Past a file size limit the kernel would kill the process outright;
    // ignored, the write fails instead and the download reports it.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    UpdaterApp app(argc, argv);
    app.setSigningKey(builtInSigningKey());
    return app.run();
}
