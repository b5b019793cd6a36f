// Note names and whole-file replacement, checked against what the system says.
#include <kivora/base/NoteNames.h>
#include <kivora/base/ReplacingFile.h>
#include <kivora/base/SystemError.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kivora::base;

TEST(NoteNames, OneRuleBothWaysWithMidiKey48AsFirstNote) {
    const struct {
        int key;
        const char* name;
    } table[] = {{48, "1C"}, {49, "1C#"}, {59, "1B"}, {60, "2C"}, {69, "2A"}, {83, "3B"},
                 {84, "4C"}, {127, "7G"}, {47, "0B"}, {36, "0C"}, {0, "-3C"}, {11, "-3B"}};
    for (const auto& row : table) {
        EXPECT_EQ(noteNameOfKey(row.key), row.name) << row.key;
        EXPECT_EQ(keyOfNoteName(row.name), row.key) << row.name;
    }
    for (const char* notAName : {"", "C", "1H", "1c", "1C#x", "7G#", "-4B", "1234C", "drum", "-C"})
        EXPECT_EQ(keyOfNoteName(notAName), -1) << notAName;
}

class ReplaceFileContents : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("kivora-base-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    static std::string contentsOf(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
    }
    fs::path folder_;
};

TEST_F(ReplaceFileContents, ReplacesWholeKeepsModeAndLeavesNoTemporary) {
    const fs::path target = folder_ / "a.txt";
    ASSERT_EQ(replaceFileContents(target, "first"), 0);
    ::chmod(target.c_str(), 0640);
    ASSERT_EQ(replaceFileContents(target, std::string(3, '\0') + "second"), 0);
    EXPECT_EQ(contentsOf(target), std::string(3, '\0') + "second");
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplaceFileContents, AFailureSaysWhyAndLeavesNothingBehind) {
    const struct {
        fs::path target;
        int error;
        const char* reason;
    } table[] = {{folder_ / "missing" / "a.txt", ENOENT, "No such file or directory"},
                 {folder_, EISDIR, "Is a directory"}};
    for (const auto& row : table) {
        const int error = replaceFileContents(row.target, "lost");
        EXPECT_EQ(error, row.error) << row.target;
        EXPECT_EQ(systemReason(error), row.reason);
    }
    EXPECT_EQ(entries(), 0u);
}
