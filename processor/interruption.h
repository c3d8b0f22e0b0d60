// Signals that ask a run to stop (INT from the keyboard, TERM from a batch
// scheduler's time limit, HUP when the terminal closes). While outputs are
// being written they only raise a flag; the run notices it between blocks,
// removes its temporary files and ends as the signal would have ended it.
#pragma once

#include <csignal>

namespace talvex {

// From now on the stop signals raise the flag instead of ending the process.
void catchInterruptions();

// Throws an interrupted Failure if a stop signal has arrived.
void throwIfInterrupted();

// The stop signals held back (and their previous mask returned), so that a
// sequence of renames is never cut in the middle; they arrive when restored.
sigset_t holdInterruptions();
void releaseInterruptions(const sigset_t& previous);

// Ends the process by the signal behind an interrupted run's status
// (128 + signal), so that its parent sees it killed by that signal.
[[noreturn]] void endByInterruption(int status);

} // namespace talvex
