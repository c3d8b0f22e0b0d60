// The whole run of the console processor, from banner to closing message.
#pragma once

#include <istream>
#include <ostream>

namespace talvex {

// Exit statuses of a run.
inline constexpr int STATUS_COMPLETE = 0;        // a complete run with option 0 or 1
inline constexpr int STATUS_INVALID_OPTION = 1;  // option neither 0 nor 1; TOA outputs complete
inline constexpr int STATUS_BAD_PARAMETERS = 2;  // a field unreadable or physically impossible
inline constexpr int STATUS_INPUT_FAILURE = 3;   // DN image missing, not a regular file, too short, unreadable
inline constexpr int STATUS_OUTPUT_FAILURE = 4;  // an output could not be created or written

// Reads the run parameter stream from `in`, prints every message on
// `console`, writes the outputs, and returns the exit status.
int runTalvex(std::istream& in, std::ostream& console);

} // namespace talvex
