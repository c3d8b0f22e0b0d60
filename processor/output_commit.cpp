#include "output_commit.h"

#include "input_image.h"
#include "interruption.h"
#include "messages.h"
#include "whole_transfer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

namespace {

// Attempts at a free temporary name before giving up.
constexpr int TEMPORARY_NAME_ATTEMPTS = 100;
// Characters of the final name kept in the temporary one, so that the
// temporary name fits wherever the final name does.
constexpr std::size_t TEMPORARY_NAME_STEM = 160;
// What marks a temporary of this program: ".NAME.tmp-talvex-PID-ATTEMPT".
constexpr std::string_view TEMPORARY_MARK = ".tmp-talvex-";
constexpr mode_t NEW_FILE_MODE = 0666;
// Bytes of a file name when the folder does not say.
constexpr long DEFAULT_NAME_MAX = 255;

// The folder part of a path ("" for the current folder) and the name part.
std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string nameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderForCalls(const std::string& path)
{
    const std::string folder = folderOf(path);
    return folder.empty() ? std::string(".") : folder;
}

// A hidden name beside the final one, unique to this process.
std::string temporaryName(const std::string& finalPath, int attempt)
{
    return folderOf(finalPath) + "." + nameOf(finalPath).substr(0, TEMPORARY_NAME_STEM)
           + std::string(TEMPORARY_MARK) + std::to_string(static_cast<long>(::getpid())) + "-"
           + std::to_string(attempt);
}

// The process number in a temporary's name, or 0 when the name is not one.
// A file that a library writes beside a temporary under the temporary's name
// and a suffix of its own (".hdr", ".aux.xml") belongs to the same run.
long temporaryOwner(std::string_view name)
{
    const std::size_t mark = name.rfind(TEMPORARY_MARK);
    if (name.empty() || name.front() != '.' || mark == std::string_view::npos) {
        return 0;
    }
    const std::string rest(name.substr(mark + TEMPORARY_MARK.size()));
    char* end = nullptr;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || *end != '-' || pid <= 0) {
        return 0;
    }
    const char* attempt = end + 1;
    const char* p = attempt;
    for (; *p >= '0' && *p <= '9'; ++p) {
    }
    if (p == attempt || (*p != '\0' && *p != '.')) {
        return 0;
    }
    return pid;
}

Failure createFailure(const std::string& path, const std::string& reason)
{
    return makeFailure(FailureKind::output, path,
                       "Can Not Create the Output File " + quoted(path) + ": " + reason + "\n");
}

void closeOutput(OutputFile& file)
{
    if (file.fd < 0) {
        return;
    }
    const int result = ::close(file.fd);
    file.fd = -1;
    if (result != 0) {
        throw cannotWriteOutput(file.finalPath, systemReason(errno));
    }
}

// Data on disk before the renames, so that a rename never waits for it.
void flushOutput(OutputFile& file)
{
    if (::fsync(file.fd) != 0 && errno != EINVAL && errno != EROFS) {
        throw cannotWriteOutput(file.finalPath, systemReason(errno));
    }
}

void removeFinalName(const std::string& path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw cannotWriteOutput(path, systemReason(errno));
    }
}

void renameIntoPlace(OutputFile& file)
{
    if (::rename(file.temporaryPath.c_str(), file.finalPath.c_str()) != 0) {
        throw cannotWriteOutput(file.finalPath, systemReason(errno));
    }
    file.temporaryPath.clear();
}

// Where a folder itself cannot be locked (NFS, where an exclusive lock needs a
// file open for writing; a folder its user may write but not read), runs
// share this hidden file in it instead.
constexpr const char* FOLDER_LOCK_FILE = ".talvex-commit.lock";

bool folderCannotBeLocked(int error)
{
    return error == EACCES || error == EBADF || error == ENOLCK || error == EOPNOTSUPP
           || error == ENOSYS || error == EINVAL;
}

// Waits for an exclusive lock on `fd`; a stop signal ends the wait. Returns
// 0 or the error.
int waitForLock(int fd)
{
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return errno;
        }
        throwIfInterrupted();
    }
    return 0;
}

// The lock that runs writing into one folder share around their commits.
int lockFolder(const std::string& path)
{
    const std::string folder = folderForCalls(path);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    try {
        if (fd >= 0) {
            error = waitForLock(fd);
        }
        if (error != 0 && folderCannotBeLocked(error)) {
            if (fd >= 0) {
                ::close(fd);
            }
            const std::string lockFile = folderOf(path) + FOLDER_LOCK_FILE;
            fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, NEW_FILE_MODE);
            error = fd < 0 ? errno : waitForLock(fd);
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (error != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw cannotWriteOutput(path, "its folder cannot be locked: " + systemReason(error));
    }
    return fd;
}

// The renames on disk too, where the folder can be opened.
void syncFolder(const std::string& path)
{
    const int fd = ::open(folderForCalls(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The renames themselves, with the stop signals held back so that they are
// never cut in the middle: the companions' old names go first, so an image
// never stands beside a header of another run.
void renameAll(std::span<const std::span<OutputFile>> sets,
               std::span<const std::string> obsoleteNames)
{
    const sigset_t previous = holdInterruptions();
    try {
        for (std::span<OutputFile> files : sets) {
            for (std::size_t i = 1; i < files.size(); ++i) {
                removeFinalName(files[i].finalPath);
            }
        }
        for (const std::string& name : obsoleteNames) {
            removeFinalName(name);
        }
        for (std::span<OutputFile> files : sets) {
            for (OutputFile& file : files) {
                renameIntoPlace(file);
            }
        }
    } catch (...) {
        releaseInterruptions(previous);
        throw;
    }
    releaseInterruptions(previous);
}

} // namespace

Failure cannotCreateOutput(const std::string& path, int error)
{
    // The commonest cause by far is an output folder that was never made;
    // the system's "No such file or directory" would leave the user looking
    // for the file.
    const std::string folder = folderOf(path);
    struct stat status {};
    if ((error == ENOENT || error == ENOTDIR) && !folder.empty()) {
        const std::string folderItself =
            folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder; // without its slash
        if (::stat(folderItself.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
            return createFailure(path, "the folder " + quoted(folder)
                                           + " does not exist; create it first");
        }
        if (error == ENOTDIR || !S_ISDIR(status.st_mode)) {
            return createFailure(path, quoted(folder) + " is not a folder");
        }
    }
    return createFailure(path, systemReason(error));
}

Failure cannotWriteOutput(const std::string& path, const std::string& reason)
{
    return makeFailure(FailureKind::output, path,
                       "Can Not Write the Output File " + quoted(path) + ": " + reason + "\n");
}

void checkOutputName(const std::string& finalPath, int inputFd)
{
    const std::string name = nameOf(finalPath);
    if (finalPath.size() >= PATH_MAX) {
        throw createFailure(finalPath, "the name is longer than the system allows ("
                                           + std::to_string(PATH_MAX - 1) + " characters)");
    }
    long nameMax = ::pathconf(folderForCalls(finalPath).c_str(), _PC_NAME_MAX);
    if (nameMax <= 0) {
        nameMax = DEFAULT_NAME_MAX;
    }
    if (name.empty() || static_cast<long>(name.size()) > nameMax) {
        throw createFailure(finalPath, "its last part has " + std::to_string(name.size())
                                           + " characters; a file name has 1 to "
                                           + std::to_string(nameMax));
    }
    struct stat status {};
    if (::lstat(finalPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw createFailure(finalPath, "a folder stands at that name");
    }
    struct stat input {};
    if (inputFd >= 0 && ::stat(finalPath.c_str(), &status) == 0 && ::fstat(inputFd, &input) == 0
        && status.st_dev == input.st_dev && status.st_ino == input.st_ino) {
        throw makeFailure(FailureKind::input, finalPath,
                          "The Output File " + quoted(finalPath)
                              + " is the Input File itself (the same file under this or another "
                                "name); writing it would destroy the DN image.\n");
    }
}

void removeStaleTemporaries(const std::string& finalPath)
{
    const std::string folder = folderForCalls(finalPath);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return; // creating the output will say what is wrong with the folder
    }
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
        const long pid = temporaryOwner(entry->d_name);
        if (pid == 0 || !(::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
            continue;
        }
        stale.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : stale) {
        const std::string path = folderOf(finalPath) + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat status {};
        // A run on another machine sharing the folder still holds its lock.
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
            && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
}

OutputFile createOutput(const std::string& finalPath)
{
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        const std::string candidate = temporaryName(finalPath, attempt);
        const int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NEW_FILE_MODE);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX | LOCK_NB);
            return OutputFile{finalPath, candidate, fd};
        }
        if (errno != EEXIST) {
            throw cannotCreateOutput(finalPath, errno);
        }
    }
    throw createFailure(finalPath, "no free temporary name beside it");
}

void writeOutput(OutputFile& file, const void* data, std::size_t bytes)
{
    const auto* start = static_cast<const unsigned char*>(data);
    const int error = transferWhole(bytes, [&](std::size_t done, std::size_t left) {
        return ::write(file.fd, start + done, left);
    });
    if (error != 0) {
        throw cannotWriteOutput(file.finalPath, error == TRANSFER_ENDED
                                                    ? std::string("nothing was written")
                                                    : systemReason(error));
    }
}

void commitOutputs(std::span<OutputFile> files, std::span<const std::string> obsoleteNames)
{
    const std::span<OutputFile> sets[] = {files};
    commitOutputSets(sets, obsoleteNames);
}

void commitOutputSets(std::span<const std::span<OutputFile>> sets,
                      std::span<const std::string> obsoleteNames)
{
    // Everything on disk and every close checked before any final name changes.
    // The temporaries stay safe from other runs' clean-up while this process lives.
    for (std::span<OutputFile> files : sets) {
        for (OutputFile& file : files) {
            flushOutput(file);
            closeOutput(file);
        }
    }
    throwIfInterrupted();
    const std::string& anyFinalPath = sets.front().front().finalPath;
    const int folderLock = lockFolder(anyFinalPath);
    try {
        throwIfInterrupted();
        renameAll(sets, obsoleteNames);
        syncFolder(anyFinalPath);
    } catch (...) {
        ::close(folderLock);
        throw;
    }
    ::close(folderLock);
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

} // namespace talvex
