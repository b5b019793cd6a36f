// Writing a file without ever destroying the previous one.
#pragma once

#include <filesystem>

namespace pellamy::detail {

// A file written under a temporary name in the target's folder and renamed
// over the target only when complete, so that a full disk or a killed process
// leaves the previous file intact. Without commit() the temporary file is
// removed.
class ReplacingFile {
public:
    explicit ReplacingFile(std::filesystem::path target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the empty temporary file; false when the folder cannot take it.
    bool create();
    // Where to write the contents (after create()).
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    // Flushes the written temporary file to the disk and renames it over the
    // target; false (and the target untouched) when either step fails.
    bool commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    bool pending_ = false;
};

} // namespace pellamy::detail
