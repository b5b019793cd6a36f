#include <kivora/base/ReplacingFile.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kivora::base {

namespace {

namespace fs = std::filesystem;

std::atomic<unsigned> temporaryCounter{0};

constexpr std::string_view kTemporaryPrefix = ".kivora-";
constexpr std::string_view kTemporarySuffix = ".tmp";

fs::path folderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

// A new temporary name in `folder`; `make` creates the file under the name
// it is given and fails with EEXIST when the name is taken.
template <class Make>
bool claimTemporaryName(const fs::path& folder, fs::path& claimed, Make make) {
    // A short name of our own: the target's name may already be as long as
    // the file system allows.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            folder / (std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
                      std::to_string(temporaryCounter.fetch_add(1)) + std::string(kTemporarySuffix));
        if (make(candidate)) {
            claimed = std::move(candidate);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Creates an empty file, failing with EEXIST when the name is taken. Mode
// 0666 lets the process's umask decide, as for any new file.
bool createNewFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Follows symbolic links to the file finally named (which need not exist).
fs::path finalTarget(fs::path path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::error_code error;
        const fs::path link = fs::read_symlink(path, error);
        if (error)
            return path;
        path = link.is_absolute() ? link : folderOf(path) / link;
    }
    return path;
}

// Makes renames in `folders` durable.
void syncFolders(const std::set<fs::path>& folders) {
    for (const fs::path& folder : folders) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
}

} // namespace

bool isTemporaryName(std::string_view name, pid_t& pid) {
    if (!name.starts_with(kTemporaryPrefix) || !name.ends_with(kTemporarySuffix))
        return false;
    name.remove_prefix(kTemporaryPrefix.size());
    name.remove_suffix(kTemporarySuffix.size());
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == name.size())
        return false;
    const auto [pidEnd, pidError] = std::from_chars(name.data(), name.data() + dash, pid);
    unsigned long long counter = 0;
    const auto [counterEnd, counterError] =
        std::from_chars(name.data() + dash + 1, name.data() + name.size(), counter);
    return pidError == std::errc() && pidEnd == name.data() + dash && counterError == std::errc() &&
           counterEnd == name.data() + name.size() && pid > 0;
}

void removeStaleTemporaries(const fs::path& folder) {
    DIR* directory = ::opendir(folder.empty() ? "." : folder.c_str());
    if (directory == nullptr)
        return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(directory)) {
        pid_t writer = 0;
        if (!isTemporaryName(entry->d_name, writer) || writer == self)
            continue;
        // EPERM means the process lives under another user.
        if (::kill(writer, 0) != 0 && errno == ESRCH &&
            ::unlinkat(::dirfd(directory), entry->d_name, 0) != 0 && (errno == EISDIR || errno == EPERM)) {
            std::error_code ignored; // a folder being replaced
            fs::remove_all((folder.empty() ? fs::path(".") : folder) / entry->d_name, ignored);
        }
    }
    ::closedir(directory);
}

ReplacingFile::ReplacingFile(fs::path target)
    : requested_(std::move(target)), target_(finalTarget(requested_)) {}

ReplacingFile::~ReplacingFile() {
    if (pending_)
        ::unlink(temporary_.c_str());
}

bool ReplacingFile::create() {
    struct stat status {};
    // Asked of the name as given, so that links the kernel resolves itself
    // (/dev/stdout) lead to the device or pipe.
    if (::stat(requested_.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        if (::access(requested_.c_str(), W_OK) != 0)
            return false;
        inPlace_ = true;
        temporary_ = requested_;
        return true;
    }
    if (::stat(target_.c_str(), &status) == 0) {
        // errno tells the caller why (access() sets it itself).
        if (!S_ISREG(status.st_mode)) {
            errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
            return false;
        }
        if (::access(target_.c_str(), W_OK) != 0)
            return false;
        // A file nobody may write was made read-only on purpose, also for
        // the superuser, whom access() always lets write.
        if ((status.st_mode & 0222) == 0) {
            errno = EACCES;
            return false;
        }
        hadPrevious_ = true;
        previousMode_ = status.st_mode & 0777;
        previousOwner_ = status.st_uid;
        previousGroup_ = status.st_gid;
    }
    pending_ = claimTemporaryName(folderOf(target_), temporary_, createNewFile);
    return pending_;
}

bool ReplacingFile::finish() {
    if (inPlace_)
        return true;
    if (!pending_)
        return false;
    const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool finished = ::fsync(fd) == 0;
    if (finished && hadPrevious_) {
        struct stat status {};
        if (::fstat(fd, &status) == 0 && (status.st_uid != previousOwner_ || status.st_gid != previousGroup_))
            (void)::fchown(fd, previousOwner_, previousGroup_); // only the superuser may give a file away
        finished = ::fchmod(fd, previousMode_) == 0;
    }
    ::close(fd);
    return finished;
}

bool ReplacingFile::rename() {
    if (inPlace_)
        return true;
    if (!pending_ || std::rename(temporary_.c_str(), target_.c_str()) != 0)
        return false;
    pending_ = false;
    return true;
}

bool ReplacingFile::commit() {
    if (!finish() || !rename())
        return false;
    syncFolders({folderOf(target_)});
    return true;
}

ReplacingFolder::ReplacingFolder(fs::path target) : target_(std::move(target)) {}

ReplacingFolder::~ReplacingFolder() {
    std::error_code ignored;
    if (swapped_)
        removePrevious();
    else if (pending_)
        fs::remove_all(temporary_, ignored);
}

bool ReplacingFolder::create() {
    const fs::path parent = folderOf(target_);
    removeStaleTemporaries(parent);
    pending_ = claimTemporaryName(
        parent, temporary_, [](const fs::path& candidate) { return ::mkdir(candidate.c_str(), 0777) == 0; });
    return pending_;
}

bool ReplacingFolder::swapIn() {
    if (!pending_ || swapped_)
        return false;
    struct stat status {};
    if (::lstat(target_.c_str(), &status) != 0) {
        if (errno != ENOENT || std::rename(temporary_.c_str(), target_.c_str()) != 0)
            return false;
        previous_.clear();
        swapped_ = true;
        return true;
    }
    if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
        previous_ = temporary_;
        swapped_ = true;
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // No exchange on this file system: the previous entry is set aside under
    // a temporary name first, so the target is missing for a moment.
    fs::path aside;
    if (!claimTemporaryName(folderOf(target_), aside, [&](const fs::path& candidate) {
            struct stat taken {};
            if (::lstat(candidate.c_str(), &taken) == 0) {
                errno = EEXIST;
                return false;
            }
            return std::rename(target_.c_str(), candidate.c_str()) == 0;
        }))
        return false;
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int failure = errno;
        std::rename(aside.c_str(), target_.c_str());
        errno = failure;
        return false;
    }
    previous_ = std::move(aside);
    swapped_ = true;
    return true;
}

void ReplacingFolder::swapBack() {
    if (!swapped_)
        return;
    if (previous_ == temporary_) {
        if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) != 0)
            return;
    } else if (std::rename(target_.c_str(), temporary_.c_str()) != 0 ||
               (!previous_.empty() && std::rename(previous_.c_str(), target_.c_str()) != 0)) {
        return;
    }
    previous_.clear();
    swapped_ = false;
}

void ReplacingFolder::removePrevious() {
    std::error_code ignored;
    if (!previous_.empty())
        fs::remove_all(previous_, ignored);
    previous_.clear();
}

bool ReplacingFolder::commit() {
    if (!swapIn())
        return false;
    removePrevious();
    syncFolders({folderOf(target_)});
    return true;
}

ReplacingFileSet::~ReplacingFileSet() {
    for (const fs::path& backup : backups_)
        if (!backup.empty())
            ::unlink(backup.c_str());
}

ReplacingFile& ReplacingFileSet::add(fs::path target) {
    return *files_.emplace_back(std::make_unique<ReplacingFile>(std::move(target)));
}

ReplacingFile& ReplacingFileSet::addLast(fs::path target) {
    return *lastFiles_.emplace_back(std::make_unique<ReplacingFile>(std::move(target)));
}

ReplacingFolder& ReplacingFileSet::addFolder(fs::path target) {
    return *folders_.emplace_back(std::make_unique<ReplacingFolder>(std::move(target)));
}

bool ReplacingFileSet::commit() {
    std::vector<ReplacingFile*> order;
    for (auto* list : {&files_, &lastFiles_})
        for (const auto& file : *list)
            order.push_back(file.get());

    failedTarget_.clear();
    std::set<fs::path> folders;
    // The errno of the failed step, kept through the restoring.
    const auto fail = [&](const fs::path& target) {
        const int failure = errno;
        for (const auto& folder : folders_)
            folder->swapBack();
        syncFolders(folders);
        failedTarget_ = target;
        errno = failure;
        return false;
    };
    for (const auto& folder : folders_) {
        folders.insert(folderOf(folder->target_));
        if (!folder->swapIn())
            return fail(folder->target_);
    }
    backups_.assign(order.size(), fs::path());
    for (std::size_t i = 0; i < order.size(); ++i) {
        ReplacingFile& file = *order[i];
        folders.insert(folderOf(file.target_));
        // A second name for the previous file, to put it back should a later
        // rename fail. Without hard links (some file systems) there is none.
        if (file.hadPrevious_ && !file.inPlace_)
            claimTemporaryName(folderOf(file.target_), backups_[i], [&](const fs::path& candidate) {
                return ::link(file.target_.c_str(), candidate.c_str()) == 0;
            });
        if (file.rename())
            continue;
        const int failure = errno;
        for (std::size_t j = i; j-- > 0;) {
            const ReplacingFile& done = *order[j];
            if (done.inPlace_)
                continue;
            if (!backups_[j].empty()) {
                if (std::rename(backups_[j].c_str(), done.target_.c_str()) == 0)
                    backups_[j].clear();
            } else if (!done.hadPrevious_) {
                ::unlink(done.target_.c_str());
            }
        }
        errno = failure;
        return fail(file.requested_);
    }
    for (const auto& folder : folders_)
        folder->removePrevious();
    syncFolders(folders);
    return true;
}

int writeFinished(ReplacingFile& file, std::string_view contents) {
    const auto failure = [] { return errno != 0 ? errno : EIO; };
    errno = 0;
    if (!file.create())
        return failure();
    errno = 0;
    std::FILE* out = std::fopen(file.temporaryPath().c_str(), "wb");
    if (out == nullptr)
        return failure();
    const bool written = std::fwrite(contents.data(), 1, contents.size(), out) == contents.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed)
        return failure();
    errno = 0;
    return file.finish() ? 0 : failure();
}

int replaceFileContents(const fs::path& target, std::string_view contents) {
    ReplacingFile file(target);
    if (const int error = writeFinished(file, contents); error != 0)
        return error;
    errno = 0;
    return file.commit() ? 0 : (errno != 0 ? errno : EIO);
}

TemporaryFile::TemporaryFile(std::filesystem::path folder) : folder_(std::move(folder)) {
    if (folder_.empty())
        folder_ = ".";
}

TemporaryFile::~TemporaryFile() {
    if (!path_.empty())
        ::unlink(path_.c_str());
}

bool TemporaryFile::create() {
    removeStaleTemporaries(folder_);
    return claimTemporaryName(folder_, path_, createNewFile);
}

} // namespace kivora::base
