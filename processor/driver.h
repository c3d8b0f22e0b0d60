// The whole run of the console processor, from banner to closing message.
#pragma once

#include "failure.h"

#include <istream>
#include <ostream>

namespace talvex {

// Reads the run parameter stream from `in`, prints every message on
// `console`, writes the outputs, and returns the exit status. A run stopped
// by a signal has removed its temporaries and returns 128 + the signal.
int runTalvex(std::istream& in, std::ostream& console);

} // namespace talvex
