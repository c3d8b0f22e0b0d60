#include "input_image.h"

#include "bands.h"
#include "messages.h"
#include "run_parameters.h"
#include "whole_transfer.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

namespace {

// A DN image that is there but cannot serve as one.
Failure inputFailure(const std::string& path, const std::string& detail)
{
    return makeFailure(FailureKind::input, path, "The Input File " + quoted(path) + detail + "\n");
}

} // namespace

Failure cannotReadInput(const std::string& path, const std::string& reason)
{
    return makeFailure(FailureKind::input, path,
                       "Can Not Read the Input File " + quoted(path) + ": " + reason + "\n");
}

InputImage openInputImage(const std::string& path)
{
    // Non-blocking, so that a named pipe without a writer cannot hang the run.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const std::string reason = systemReason(errno);
        throw makeFailure(FailureKind::input, path,
                          std::string(CANNOT_OPEN_INPUT) + " \nThe Input File " + quoted(path)
                              + ": " + reason + "\n");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return InputImage{path, fd};
}

void checkInputImage(const InputImage& image, std::int64_t requiredBytes)
{
    struct stat status {};
    if (::fstat(image.fd, &status) != 0) {
        throw cannotReadInput(image.path, systemReason(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw inputFailure(image.path,
                           " is not a regular file (a directory, pipe or device); the DN image "
                           "must be a regular file, since it is read twice.");
    }
    if (static_cast<std::int64_t>(status.st_size) < requiredBytes) {
        throw inputFailure(
            image.path, " is too short: the parameters promise " + std::to_string(requiredBytes)
                            + " bytes (" + std::to_string(BAND_COUNT)
                            + " bands x lines x samples x " + std::to_string(DN_BYTES)
                            + " bytes), the file holds "
                            + std::to_string(static_cast<long long>(status.st_size)) + " bytes.");
    }
}

void readInput(InputImage& image, void* data, std::size_t bytes)
{
    auto* start = static_cast<unsigned char*>(data);
    const int error = transferWhole(bytes, [&](std::size_t done, std::size_t left) {
        return ::read(image.fd, start + done, left);
    });
    if (error != 0) {
        throw cannotReadInput(image.path, error == TRANSFER_ENDED ? std::string("it ended early")
                                                                  : systemReason(error));
    }
}

void rewindInput(InputImage& image)
{
    if (::lseek(image.fd, 0, SEEK_SET) != 0) {
        throw cannotReadInput(image.path, systemReason(errno));
    }
}

void closeInput(InputImage& image)
{
    if (image.fd >= 0) {
        ::close(image.fd);
        image.fd = -1;
    }
}

} // namespace talvex
