// Reading or writing a whole run of bytes through system calls that may
// move fewer bytes than asked, or be interrupted by a signal.
#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

namespace talvex {

// What transferWhole() returns when a call moved nothing: the end of the
// file for a read, nothing written for a write.
inline constexpr int TRANSFER_ENDED = -1;

// Moves `bytes` bytes with `step(done, left)`, a read or write of at most
// `left` bytes from `done` bytes into the run that returns how many it
// moved (or -1 with errno set), calling it again after a signal. Returns 0
// once every byte has moved, TRANSFER_ENDED when a call moved none, and the
// errno of a failed call otherwise.
template <typename Step>
int transferWhole(std::size_t bytes, Step step)
{
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t moved = step(done, bytes - done);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return errno;
        }
        if (moved == 0) {
            return TRANSFER_ENDED;
        }
        done += static_cast<std::size_t>(moved);
    }
    return 0;
}

} // namespace talvex
