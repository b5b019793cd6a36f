// Note names and whole-file replacement, checked against what the system says.
#include <kivora/base/NoteNames.h>
#include <kivora/base/ReplacingFile.h>
#include <kivora/base/SystemError.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
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

// Checked against what the file system then holds.
TEST(ReplaceFileContents, ReplacesWholeKeepsModeOrSaysWhyAndLeavesNoTemporary) {
    const fs::path folder = fs::temp_directory_path() / ("kivora-base-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path target = folder / "a.txt";
    ASSERT_EQ(replaceFileContents(target, "first"), 0);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(replaceFileContents(target, std::string(3, '\0') + "second"), 0);
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(3, '\0') + "second");
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    const struct {
        fs::path target;
        int error;
        const char* reason;
    } failures[] = {{folder / "missing" / "a.txt", ENOENT, "No such file or directory"},
                    {folder, EISDIR, "Is a directory"}};
    for (const auto& row : failures) {
        const int error = replaceFileContents(row.target, "lost");
        EXPECT_EQ(error, row.error) << row.target;
        EXPECT_EQ(systemReason(error), row.reason);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    fs::remove_all(folder);
}
