// Saving never destroys a good file: a full disk or a read-only folder leaves
// the previous instrument as it was.
#include "TestFiles.h"

#include <pellamy/InstrumentModel.h>

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

using namespace pellamy;
using namespace testfiles;

namespace {

InstrumentModel modelOf(std::initializer_list<std::pair<const char*, std::size_t>> sounds,
                        std::int16_t fill) {
    InstrumentModel model;
    for (const auto& [alias, count] : sounds)
        model.addSound(alias, Sound::make(std::vector<std::int16_t>(count, fill), 8000, 1, 16, 1.0f));
    return model;
}

// A small tmpfs mounted over a fresh folder; unavailable unless the process
// may mount (root, outside a locked-down container).
class SmallDisk {
public:
    SmallDisk() {
        mounted_ = ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(folder_.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const fs::path& path() const { return folder_.path(); }
    bool makeReadOnly() {
        return ::mount(nullptr, folder_.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    TempFolder folder_;
    bool mounted_ = false;
};

// Every file written while this lives fails past `bytes` (as on a full disk).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool active() const { return active_; }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
    bool active_ = false;
};

std::string saveFailure(const InstrumentModel& model, const fs::path& path) {
    try {
        model.saveToFile(path.string(), true);
    } catch (const std::string& text) {
        return text;
    } catch (const char* text) {
        return std::string("const char*: ") + text;
    }
    return "nothing thrown";
}

std::vector<std::string> temporaryFilesIn(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().filename().string().ends_with(".tmp"))
            found.push_back(entry.path().string());
    return found;
}

// Saves a small instrument, then a larger one while `whileFull` holds the
// disk full, and checks that the small one is still there, whole.
template <class MakeFull>
void checkFailedSaveKeepsPreviousFiles(const fs::path& folder, MakeFull whileFull) {
    const fs::path path = folder / "keep.ins";
    modelOf({{"a", 100}, {"b", 50}}, 11).saveToFile(path.string(), true);
    const std::string definitionBefore = readText(path);
    const Bytes waveBefore = readBytes(folder / "keep/1/a.wav");

    const InstrumentModel larger = modelOf({{"a", 20000}, {"b", 20000}, {"c", 20000}}, -5);
    std::string failure;
    whileFull([&] { failure = saveFailure(larger, path); });
    EXPECT_EQ(failure, "Can't write sound file " + (folder / "keep/1/a.wav").string());

    EXPECT_EQ(readText(path), definitionBefore);
    EXPECT_EQ(readBytes(folder / "keep/1/a.wav"), waveBefore);
    EXPECT_FALSE(fs::exists(folder / "keep/1/c.wav"));
    EXPECT_EQ(temporaryFilesIn(folder), std::vector<std::string>{});
    InstrumentModel reloaded;
    reloaded.loadFromFile(path.string());
    ASSERT_EQ(reloaded.soundCount(), 2u);
    EXPECT_EQ(reloaded.soundFor("a")->count(), 100u);
    EXPECT_EQ(reloaded.soundFor("b")->samples()[0], 11.0);
}

} // namespace

TEST(SaveSafety, AFullDiskLeavesThePreviousFilesIntact) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    checkFailedSaveKeepsPreviousFiles(disk.path(), [&](const auto& save) {
        // Fill what is left of the 64 KiB.
        const fs::path filler = disk.path() / "filler";
        std::FILE* file = std::fopen(filler.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const std::vector<char> block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), file) == block.size() && std::fflush(file) == 0) {
        }
        std::fclose(file);
        save();
        fs::remove(filler);
    });
}

TEST(SaveSafety, AFailingWriteLeavesThePreviousFilesIntact) {
    TempFolder folder;
    checkFailedSaveKeepsPreviousFiles(folder.path(), [&](const auto& save) {
        FileSizeLimit limit(0);
        if (!limit.active())
            GTEST_SKIP() << "cannot limit the file size";
        save();
    });
}

TEST(SaveSafety, AReadOnlyFolderRefusesTheSaveAndStillLoads) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const fs::path path = disk.path() / "ro.ins";
    modelOf({{"a", 10}}, 3).saveToFile(path.string(), true);
    const std::string before = readText(path);
    if (!disk.makeReadOnly())
        GTEST_SKIP() << "cannot remount read-only";

    EXPECT_EQ(saveFailure(modelOf({{"z", 10}}, 4), path),
              "const char*: Can't open file for saving instrument");
    EXPECT_EQ(readText(path), before);
    InstrumentModel model;
    model.loadFromFile(path.string());
    EXPECT_EQ(model.soundCount(), 1u);
    EXPECT_EQ(model.soundFor("a")->samples()[0], 3.0);
}
