// The whole run of talvex-geo: parameter file and DN scene in, georeferenced
// reflectance rasters out.
#pragma once

namespace talvex::geo {

// Runs the program on its command line and returns the exit status. A run
// stopped by a signal has removed its temporaries and returns 128 + the signal.
int runTalvexGeo(int argc, char** argv);

} // namespace talvex::geo
