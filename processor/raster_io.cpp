#include "raster_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

namespace {

// Attempts at a free temporary name before giving up.
constexpr int TEMPORARY_NAME_ATTEMPTS = 100;
// Characters of the final name kept in the temporary one, so that the
// temporary name fits wherever the final name does.
constexpr std::size_t TEMPORARY_NAME_STEM = 160;
constexpr mode_t NEW_FILE_MODE = 0666;

std::string systemReason(int error)
{
    return std::strerror(error);
}

std::string quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

// A hidden name beside the final one, unique to this process.
std::string temporaryName(const std::string& finalPath, int attempt)
{
    const std::size_t slash = finalPath.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return finalPath.substr(0, nameStart) + "." + finalPath.substr(nameStart, TEMPORARY_NAME_STEM) + ".tmp-"
           + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(attempt);
}

bool createOutput(const std::string& finalPath, OutputFile& file, std::string& error)
{
    file.finalPath = finalPath;
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        const std::string candidate = temporaryName(finalPath, attempt);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              NEW_FILE_MODE);
        if (fd >= 0) {
            file.temporaryPath = candidate;
            file.fd = fd;
            return true;
        }
        if (errno != EEXIST) {
            error = "Can Not Create the Output File " + quoted(finalPath) + ": "
                    + systemReason(errno) + "\n";
            return false;
        }
    }
    error = "Can Not Create the Output File " + quoted(finalPath)
            + ": no free temporary name beside it\n";
    return false;
}

bool closeOutput(OutputFile& file, std::string& error)
{
    if (file.fd < 0) {
        return true;
    }
    const int result = ::close(file.fd);
    file.fd = -1;
    if (result != 0) {
        error = "Can Not Write the Output File " + quoted(file.finalPath) + ": "
                + systemReason(errno) + "\n";
        return false;
    }
    return true;
}

void discardOutput(OutputFile& file)
{
    if (file.fd >= 0) {
        ::close(file.fd);
        file.fd = -1;
    }
    if (!file.temporaryPath.empty()) {
        ::unlink(file.temporaryPath.c_str());
        file.temporaryPath.clear();
    }
}

bool renameIntoPlace(OutputFile& file, std::string& error)
{
    if (::rename(file.temporaryPath.c_str(), file.finalPath.c_str()) != 0) {
        error = "Can Not Write the Output File " + quoted(file.finalPath) + ": "
                + systemReason(errno) + "\n";
        return false;
    }
    file.temporaryPath.clear();
    return true;
}

} // namespace

std::int64_t pixelsPerBand(std::int32_t lineCount, std::int32_t sampleCount)
{
    if (lineCount <= 0 || sampleCount <= 0) {
        return 0;
    }
    return static_cast<std::int64_t>(lineCount) * static_cast<std::int64_t>(sampleCount);
}

std::int64_t expectedImageBytes(std::int32_t lineCount, std::int32_t sampleCount)
{
    return BANDS_IN_IMAGE * DN_BYTES * pixelsPerBand(lineCount, sampleCount);
}

bool openInputImage(const std::string& path, InputImage& image, std::string& reason)
{
    image.path = path;
    // Non-blocking, so that a named pipe without a writer cannot hang the run.
    image.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (image.fd < 0) {
        reason = systemReason(errno);
        return false;
    }
    const int flags = ::fcntl(image.fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(image.fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return true;
}

std::string inputImageProblem(const InputImage& image, std::int64_t requiredBytes)
{
    struct stat status {};
    if (::fstat(image.fd, &status) != 0) {
        return "Can Not Read the Input File " + quoted(image.path) + ": " + systemReason(errno)
               + "\n";
    }
    if (!S_ISREG(status.st_mode)) {
        return "The Input File " + quoted(image.path)
               + " is not a regular file (a directory, pipe or device); the DN image must be "
                 "a regular file, since it is read twice.\n";
    }
    if (static_cast<std::int64_t>(status.st_size) < requiredBytes) {
        return "The Input File " + quoted(image.path) + " is too short: the parameters promise "
               + std::to_string(requiredBytes) + " bytes (4 bands x lines x samples x 2 bytes), "
               + "the file holds " + std::to_string(static_cast<long long>(status.st_size))
               + " bytes.\n";
    }
    return "";
}

bool readInput(InputImage& image, void* data, std::size_t bytes, std::string& error)
{
    auto* cursor = static_cast<unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t got = ::read(image.fd, cursor, bytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = "Can Not Read the Input File " + quoted(image.path) + ": "
                    + (got == 0 ? std::string("it ended early") : systemReason(errno)) + "\n";
            return false;
        }
        cursor += got;
        bytes -= static_cast<std::size_t>(got);
    }
    return true;
}

bool rewindInput(InputImage& image, std::string& error)
{
    if (::lseek(image.fd, 0, SEEK_SET) != 0) {
        error = "Can Not Read the Input File " + quoted(image.path) + ": " + systemReason(errno)
                + "\n";
        return false;
    }
    return true;
}

void closeInput(InputImage& image)
{
    if (image.fd >= 0) {
        ::close(image.fd);
        image.fd = -1;
    }
}

bool createOutputPair(const std::string& imagePath, OutputPair& pair, std::string& error)
{
    if (!createOutput(imagePath, pair.image, error)
        || !createOutput(imagePath + HEADER_SUFFIX, pair.header, error)) {
        discardOutputPair(pair);
        return false;
    }
    return true;
}

bool writeOutput(OutputFile& file, const void* data, std::size_t bytes, std::string& error)
{
    const auto* cursor = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t put = ::write(file.fd, cursor, bytes);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = "Can Not Write the Output File " + quoted(file.finalPath) + ": "
                    + (put == 0 ? std::string("nothing was written") : systemReason(errno)) + "\n";
            return false;
        }
        cursor += put;
        bytes -= static_cast<std::size_t>(put);
    }
    return true;
}

std::string enviHeaderText(std::int32_t sampleCount, std::int32_t lineCount)
{
    return "ENVI\ndescription = {File Imported into ENVI.}\nsamples = " + std::to_string(sampleCount)
           + "\nlines = " + std::to_string(lineCount)
           + "\nbands = 4\nheader offset = 0\nfile type = ENVI Standard\ndata type = 4\n"
             "interleave = bsq\nsensor type = Unknown\nbyte order = 0\nwavelength units = Unknown\n";
}

bool writeEnviHeader(OutputFile& header, std::int32_t sampleCount, std::int32_t lineCount,
                     std::string& error)
{
    const std::string text = enviHeaderText(sampleCount, lineCount);
    return writeOutput(header, text.data(), text.size(), error);
}

bool commitOutputPair(OutputPair& pair, std::string& error)
{
    const bool complete = closeOutput(pair.image, error) && closeOutput(pair.header, error)
                          && renameIntoPlace(pair.image, error)
                          && renameIntoPlace(pair.header, error);
    if (!complete) {
        discardOutputPair(pair);
    }
    return complete;
}

void discardOutputPair(OutputPair& pair)
{
    discardOutput(pair.image);
    discardOutput(pair.header);
}

} // namespace talvex
