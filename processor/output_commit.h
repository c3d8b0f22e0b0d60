// Outputs written under hidden temporary names beside their final names and
// renamed into place only once complete. An image and its header are
// committed so that the final names never hold an image and a header of
// different runs: at worst, for an instant that a killed run can make
// permanent, an image stands without its header.
#pragma once

#include "failure.h"

#include <cstddef>
#include <span>
#include <string>

namespace talvex {

// Output names: the base name followed by these suffixes, nothing else.
inline constexpr const char* TOA_SUFFIX = "-TOA-Ref-bands-2345";
inline constexpr const char* SURFACE_SUFFIX = "-Atm-Corr-Ref-bands-2345";
inline constexpr const char* HEADER_SUFFIX = ".hdr";

// Failures of creating and of writing an output, as every front end reports
// them. `error` is the system's error number of the failed creation; when the
// output's folder is missing, the reason names that folder.
Failure cannotCreateOutput(const std::string& path, int error);
Failure cannotWriteOutput(const std::string& path, const std::string& reason);

struct OutputFile {
    std::string finalPath;
    std::string temporaryPath; // where it is written until it is committed
    int fd = -1;
};

// Checks, before anything is written, that a final name can be made: it fits
// the system's limits, no folder stands there, and it is not the input image
// under any name (given the input's open descriptor, or -1).
void checkOutputName(const std::string& finalPath, int inputFd);

// Removes the temporaries that runs killed outright left in the folder of
// `finalPath`: only those whose process is gone and that nobody holds.
void removeStaleTemporaries(const std::string& finalPath);

// Creates a hidden temporary beside `finalPath`, open for writing and held
// (so that no other run takes it for a stale one) until committed or discarded.
OutputFile createOutput(const std::string& finalPath);
// Appends bytes to an output, all of them.
void writeOutput(OutputFile& file, const void* data, std::size_t bytes);
// Commits files that belong together (an image first, then its companions
// such as its header): their data is flushed to disk, then, under a lock on
// the folder that other runs share, the companions' old final names and the
// `obsoleteNames` (companions of an earlier output that this one lacks) are
// removed, the image is renamed into place, then each companion.
void commitOutputs(std::span<OutputFile> files, std::span<const std::string> obsoleteNames = {});
// Commits several outputs as one, each a set of files as commitOutputs takes
// them (all in one folder): every file is flushed first, then under a single
// hold of the folder lock and of the stop signals every set is renamed into
// place, so that the final names never hold some outputs of one run beside
// some of another.
void commitOutputSets(std::span<const std::span<OutputFile>> sets,
                      std::span<const std::string> obsoleteNames = {});
// Closes the file if open and removes its temporary.
void discardOutput(OutputFile& file);

} // namespace talvex
