// talvex-geo: TALVEX's reflectances of georeferenced scenes, through GDAL.
#include "failure.h"
#include "geo_run.h"
#include "interruption.h"

#include <gdal.h>

#include <csignal>

int main(int argc, char** argv)
{
    // A file-size limit shows as a failed write that is reported, and a
    // reader of the messages that goes away does not stop the run.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const int status = talvex::geo::runTalvexGeo(argc, argv);
    GDALDestroyDriverManager();
    if (status > talvex::INTERRUPTED_STATUS_BASE) {
        talvex::endByInterruption(status);
    }
    return status;
}
