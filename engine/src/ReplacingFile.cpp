#include "ReplacingFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pellamy::detail {

namespace {

std::atomic<unsigned> temporaryCounter{0};

} // namespace

ReplacingFile::ReplacingFile(std::filesystem::path target) : target_(std::move(target)) {}

ReplacingFile::~ReplacingFile() {
    if (pending_)
        ::unlink(temporary_.c_str());
}

bool ReplacingFile::create() {
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    // A short name of our own: the target's name may already be as long as
    // the file system allows.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = ".kivora-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
        std::filesystem::path candidate = folder / name;
        // Mode 0666 lets the process's umask decide, as for any new file.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temporary_ = std::move(candidate);
            pending_ = true;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool ReplacingFile::commit() {
    if (!pending_)
        return false;
    const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || std::rename(temporary_.c_str(), target_.c_str()) != 0)
        return false;
    pending_ = false;
    return true;
}

} // namespace pellamy::detail
