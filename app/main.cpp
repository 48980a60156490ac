#include "app/updaterapp.h"

int main(int argc, char *argv[])
{
    UpdaterApp app(argc, argv);
    return app.run();
}
