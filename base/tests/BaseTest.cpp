// Note names and whole-file and folder replacement, checked against what the
// file system then holds.
#include <kivora/base/NoteNames.h>
#include <kivora/base/ReplacingFile.h>
#include <kivora/base/SystemError.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>
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

namespace {

// Every entry under `folder`: a file's contents, "<folder>" for a folder.
std::map<std::string, std::string> treeOf(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_directory()) {
            tree[name] = "<folder>";
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        tree[name] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return tree;
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

// A folder and a file put in place together, or neither: each fault strikes
// after everything was written, while the set is put in place.
TEST(ReplacingFileSet, AFolderAndItsFilesChangeTogetherOrNotAtAll) {
    enum class Before { nothing, folderAndText, fileWhereTheFolderGoes };
    enum class Fault { none, aLaterFileCannotBePutInPlace, aLaterFolderIsGone };
    const struct {
        const char* what;
        Before before;
        Fault fault;
    } table[] = {
        {"new pair", Before::nothing, Fault::none},
        {"pair replaced", Before::folderAndText, Fault::none},
        {"file of the folder's name replaced", Before::fileWhereTheFolderGoes, Fault::none},
        {"file fails, nothing before", Before::nothing, Fault::aLaterFileCannotBePutInPlace},
        {"file fails, pair before", Before::folderAndText, Fault::aLaterFileCannotBePutInPlace},
        {"folder fails, pair before", Before::folderAndText, Fault::aLaterFolderIsGone},
        {"folder fails, file before", Before::fileWhereTheFolderGoes, Fault::aLaterFolderIsGone},
    };
    const fs::path folder = fs::temp_directory_path() / ("kivora-base-set-" + std::to_string(::getpid()));
    for (const auto& row : table) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        if (row.before == Before::folderAndText) {
            fs::create_directory(folder / "samples");
            writeText(folder / "samples" / "old.wav", "old sound");
            writeText(folder / "bank.sfz", "old text");
        } else if (row.before == Before::fileWhereTheFolderGoes) {
            writeText(folder / "samples", "a file");
        }
        const auto before = treeOf(folder);
        bool committed = false;
        fs::path failed;
        {
            ReplacingFileSet set;
            ReplacingFolder& samples = set.addFolder(folder / "samples");
            ASSERT_TRUE(samples.create()) << row.what;
            writeText(samples.temporaryPath() / "new.wav", "new sound");
            ReplacingFolder* later = nullptr;
            if (row.fault == Fault::aLaterFolderIsGone) {
                later = &set.addFolder(folder / "later");
                ASSERT_TRUE(later->create());
            }
            ReplacingFile& text = set.addLast(folder / "bank.sfz");
            ASSERT_TRUE(text.create());
            writeText(text.temporaryPath(), "new text");
            ASSERT_TRUE(text.finish());
            if (row.fault == Fault::aLaterFileCannotBePutInPlace) {
                ReplacingFile& last = set.addLast(folder / "last.txt");
                ASSERT_TRUE(last.create());
                ASSERT_TRUE(last.finish());
                fs::create_directories(folder / "last.txt" / "in the way");
            }
            if (later != nullptr)
                fs::remove_all(later->temporaryPath());
            committed = set.commit();
            failed = set.failedTarget();
        }
        auto after = treeOf(folder);
        if (row.fault == Fault::none) {
            EXPECT_TRUE(committed) << row.what;
            EXPECT_EQ(after, (std::map<std::string, std::string>{{"bank.sfz", "new text"},
                                                                 {"samples", "<folder>"},
                                                                 {"samples/new.wav", "new sound"}}))
                << row.what;
            continue;
        }
        EXPECT_FALSE(committed) << row.what;
        EXPECT_EQ(failed, folder / (row.fault == Fault::aLaterFolderIsGone ? "later" : "last.txt"))
            << row.what;
        after.erase("last.txt");
        after.erase("last.txt/in the way");
        EXPECT_EQ(after, before) << row.what;
    }
    fs::remove_all(folder);
}

// What a killed export leaves behind goes with the next one; a live
// writer's folder stays.
TEST(ReplacingFolder, FoldersOfEndedWritersAreRemovedThoseOfLiveOnesStay) {
    const fs::path folder = fs::temp_directory_path() / ("kivora-base-stale-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    const fs::path stale = folder / (".kivora-" + std::to_string(ended) + "-0.tmp");
    const fs::path live = folder / (".kivora-" + std::to_string(::getppid()) + "-0.tmp");
    for (const fs::path& leftover : {stale, live}) {
        fs::create_directories(leftover / "inner");
        writeText(leftover / "inner" / "a.wav", "half a sound");
    }
    ReplacingFolder samples(folder / "samples");
    ASSERT_TRUE(samples.create());
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(live / "inner" / "a.wav"));
    EXPECT_TRUE(samples.commit());
    EXPECT_TRUE(fs::is_directory(folder / "samples"));
    fs::remove_all(live);
    EXPECT_EQ(treeOf(folder), (std::map<std::string, std::string>{{"samples", "<folder>"}}));
    fs::remove_all(folder);
}
