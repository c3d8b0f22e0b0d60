#include "interruption.h"

#include "failure.h"

#include <cstdlib>
#include <string>

#include <signal.h>

namespace talvex {

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The one piece of process-wide state: a signal handler can reach nothing
// else. It holds the number of the stop signal that arrived, or 0.
volatile std::sig_atomic_t arrivedSignal = 0;

extern "C" void noteStopSignal(int signalNumber)
{
    arrivedSignal = signalNumber;
}

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : STOP_SIGNALS) {
        sigaddset(&set, s);
    }
    return set;
}

} // namespace

void catchInterruptions()
{
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart: a wait for a lock returns at once
    for (int s : STOP_SIGNALS) {
        struct sigaction previous {};
        // A signal ignored by whoever started the run (nohup) stays ignored.
        if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(s, &action, nullptr);
    }
}

void throwIfInterrupted()
{
    const int s = arrivedSignal;
    if (s != 0) {
        throw Failure{FailureKind::interrupted, "signal " + std::to_string(s),
                      "The run was interrupted by signal " + std::to_string(s)
                          + "; its unfinished outputs were removed.\n",
                      INTERRUPTED_STATUS_BASE + s};
    }
}

sigset_t holdInterruptions()
{
    const sigset_t set = stopSignalSet();
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &set, &previous);
    return previous;
}

void releaseInterruptions(const sigset_t& previous)
{
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void endByInterruption(int status)
{
    const int s = status - INTERRUPTED_STATUS_BASE;
    ::signal(s, SIG_DFL);
    const sigset_t set = stopSignalSet();
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(s);
    std::_Exit(status); // only if the signal did not end the process
}

} // namespace talvex
