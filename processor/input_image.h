// The DN image of a run: opened once, checked to be a regular file that holds
// every pixel the parameters promise, read in large blocks and read again
// from its first byte for the correction pass.
#pragma once

#include "failure.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvex {

// A failure of reading an input, as every front end reports it.
Failure cannotReadInput(const std::string& path, const std::string& reason);

struct InputImage {
    std::string path;
    int fd = -1;
};

// Opens the DN image for reading.
InputImage openInputImage(const std::string& path);
// Checks that the image is a regular file (it is read twice) holding at
// least `requiredBytes`.
void checkInputImage(const InputImage& image, std::int64_t requiredBytes);
// Reads exactly `bytes` bytes.
void readInput(InputImage& image, void* data, std::size_t bytes);
// Sets the image back to its first byte.
void rewindInput(InputImage& image);
void closeInput(InputImage& image);

} // namespace talvex
