// How anything in a run fails: one record that says which side failed, the
// whole message and the exit status. It is thrown where the fault is found
// and caught once, where the front end reports it.
#pragma once

#include <string>
#include <utility>

namespace talvex {

// Exit statuses of a run.
inline constexpr int STATUS_COMPLETE = 0;       // a complete run with option 0 or 1
inline constexpr int STATUS_INVALID_OPTION = 1; // option neither 0 nor 1; TOA outputs complete
inline constexpr int STATUS_BAD_PARAMETERS = 2; // a field unreadable or physically impossible
inline constexpr int STATUS_INPUT_FAILURE =
    3; // DN image missing, not a regular file, too short, unreadable
inline constexpr int STATUS_OUTPUT_FAILURE = 4; // an output could not be created or written
// A run ended by a stop signal ends with this plus the signal number.
inline constexpr int INTERRUPTED_STATUS_BASE = 128;

// The side of a run that failed; each has its own exit status.
enum class FailureKind {
    parameters,  // the run parameters: a field unreadable, out of range, or a stream too long
    input,       // the DN image
    output,      // an output file
    interrupted, // a stop signal; the status then carries the signal's number
};

struct Failure {
    FailureKind kind;
    std::string subject; // the field or the file that failed
    std::string message; // the whole message for the user, ending with a line end
    int status;          // the exit status the run ends with
};

// The exit status that goes with a kind of failure.
constexpr int failureStatus(FailureKind kind)
{
    switch (kind) {
    case FailureKind::parameters:
        return STATUS_BAD_PARAMETERS;
    case FailureKind::input:
        return STATUS_INPUT_FAILURE;
    case FailureKind::output:
        return STATUS_OUTPUT_FAILURE;
    case FailureKind::interrupted:
        return INTERRUPTED_STATUS_BASE; // the signal's number is added where it is known
    }
    return STATUS_OUTPUT_FAILURE;
}

inline Failure makeFailure(FailureKind kind, std::string subject, std::string message)
{
    return Failure{kind, std::move(subject), std::move(message), failureStatus(kind)};
}

} // namespace talvex
