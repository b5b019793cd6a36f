// Writing files without ever destroying the previous ones: every library
// that saves a file replaces it through here.
#pragma once

#include <kivora/base/Export.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kivora::base {

// Temporary files are named ".kivora-<pid>-<n>.tmp" in the folder of the file
// they replace; true for such a name, with the writer's process id.
KIVORA_BASE_API bool isTemporaryName(std::string_view name, pid_t& pid);
// Removes the temporary files and folders in `folder` whose writing process
// has ended (a save, render or export that was killed). Those of live
// processes stay.
KIVORA_BASE_API void removeStaleTemporaries(const std::filesystem::path& folder);

// Thread: any single thread; one object is never shared.
//
// A file written under a temporary name in the target's folder and renamed
// over the target only when complete, so that a full disk or a stopped
// process leaves the previous file intact. Without commit() the temporary file
// is removed.
//
// A symbolic link is written through: its final target is replaced and the
// link stays a link. An existing file keeps its permissions (and owner, where
// the process may set it). A device or a pipe is written in place.
class KIVORA_BASE_API ReplacingFile {
public:
    explicit ReplacingFile(std::filesystem::path target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the empty temporary file. False when the target may not be
    // written (an existing file without write permission for the user, or
    // without any write permission at all; a folder) or its folder cannot take
    // a new file; errno then says why.
    bool create();
    // Where to write the contents (after create()).
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    // The file finally replaced (links followed).
    const std::filesystem::path& targetPath() const { return target_; }
    // Flushes the written temporary file to the disk and gives it the
    // previous file's permissions; false when that fails.
    bool finish();
    // finish(), then renames the temporary file over the target; false (and
    // the target untouched) when either step fails.
    bool commit();

private:
    friend class ReplacingFileSet;
    bool rename();

    std::filesystem::path requested_;
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    bool pending_ = false;
    bool inPlace_ = false; // a device or a pipe
    bool hadPrevious_ = false;
    mode_t previousMode_ = 0;
    uid_t previousOwner_ = 0;
    gid_t previousGroup_ = 0;
};

// Thread: any single thread; one object is never shared.
//
// A folder filled under a temporary name beside the one it replaces (named as
// the temporary files are) and swapped with it only when complete, so that a
// failure leaves the previous folder, or whatever had its name, as it was.
// The swap is one atomic exchange where the file system has it. Without
// commit() the temporary folder and everything in it are removed.
class KIVORA_BASE_API ReplacingFolder {
public:
    explicit ReplacingFolder(std::filesystem::path target);
    ~ReplacingFolder();
    ReplacingFolder(const ReplacingFolder&) = delete;
    ReplacingFolder& operator=(const ReplacingFolder&) = delete;

    // Removes the temporaries of ended processes beside the target and
    // creates the empty temporary folder; false when the parent folder
    // cannot take it (errno then says why).
    bool create();
    // Where to write the folder's files (after create()).
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    const std::filesystem::path& targetPath() const { return target_; }
    // Swaps the temporary folder in and removes the previous one; false (and
    // the target untouched) when the swap fails.
    bool commit();

private:
    friend class ReplacingFileSet;
    bool swapIn();
    void swapBack();
    void removePrevious();

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::filesystem::path
        previous_;         // where the previous entry lies once swapped in; empty when there was none
    bool pending_ = false; // temporary_ is a folder of ours
    bool swapped_ = false;
};

// Files and folders replaced together, all or none: each is written under
// its temporary name; commit() swaps the folders in first (files may name
// what is in them), then renames the files in the order they were added,
// those added with addLast() after all others, and puts the previous ones
// back when a step fails. Without commit() every temporary is removed.
class KIVORA_BASE_API ReplacingFileSet {
public:
    ReplacingFileSet() = default;
    ~ReplacingFileSet();
    ReplacingFileSet(const ReplacingFileSet&) = delete;
    ReplacingFileSet& operator=(const ReplacingFileSet&) = delete;

    ReplacingFile& add(std::filesystem::path target);
    ReplacingFile& addLast(std::filesystem::path target);
    ReplacingFolder& addFolder(std::filesystem::path target);
    // Every file must have been finished. False when a file or folder could
    // not be put in place (errno says why); the previous ones are then
    // restored as far as they can be.
    bool commit();
    // After a failed commit(): the target (as its ReplacingFile or
    // ReplacingFolder names it) that could not be put in place.
    const std::filesystem::path& failedTarget() const { return failedTarget_; }

private:
    std::vector<std::unique_ptr<ReplacingFolder>> folders_;
    std::vector<std::unique_ptr<ReplacingFile>> files_;
    std::vector<std::unique_ptr<ReplacingFile>> lastFiles_;
    std::vector<std::filesystem::path> backups_; // previous files kept until the commit has succeeded
    std::filesystem::path failedTarget_;
};

// Creates `file`'s temporary, writes `contents` into it and finishes it, so
// that it waits for its commit() or its set's. Returns 0, or the errno value
// of the step that failed (EIO where the system named none).
KIVORA_BASE_API int writeFinished(ReplacingFile& file, std::string_view contents);

// Replaces `target` with `contents`, all or nothing, through a ReplacingFile:
// the previous file stays as it was unless every byte is on the disk.
// Returns 0, or the errno value of the step that failed (EIO where the
// system named none).
KIVORA_BASE_API int replaceFileContents(const std::filesystem::path& target, std::string_view contents);

// A file a tool writes for its own use beside the files it saves (a melody
// script converted for one rendering), named as the replacing files'
// temporaries are: one left behind by a killed process is removed by the
// next save or rendering into that folder, as theirs are.
class KIVORA_BASE_API TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path folder);
    // Removes the file.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Removes the temporaries of ended processes from the folder and creates
    // a new empty file there; false when the folder cannot take it.
    bool create();
    // The file created (empty before create()).
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
};

} // namespace kivora::base
