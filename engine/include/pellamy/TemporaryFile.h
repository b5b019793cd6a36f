// A file a tool writes for its own use beside the files it saves (a melody
// script converted for one rendering), named as the engine's own temporary
// files are: one left behind by a killed process is removed by the next save
// or rendering into that folder, as theirs are.
#pragma once

#include <pellamy/Export.h>

#include <filesystem>

namespace pellamy {

// Thread: any single thread; one object is never shared.
class PELLAMY_API TemporaryFile {
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

} // namespace pellamy
