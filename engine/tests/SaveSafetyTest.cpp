// Saving never destroys a good file: a full disk or a read-only folder leaves
// the previous instrument as it was.
#include "TestFiles.h"

#include <pellamy/InstrumentModel.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    explicit SmallDisk(const char* size = "64k") {
        mounted_ = ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0,
                           (std::string("size=") + size + ",mode=0755").c_str()) == 0;
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

// Every file under `folder` with its contents, by relative path.
std::map<std::string, Bytes> filesUnder(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = readBytes(entry.path());
    return files;
}

// Notes named as the generator names them, 1C, 1C#, ..., each `count` values of `fill`.
InstrumentModel notes(int noteCount, std::size_t count, std::int16_t fill) {
    static const char* names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    InstrumentModel model;
    for (int i = 0; i < noteCount; ++i)
        model.addSound(std::to_string(i / 12 + 1) + names[i % 12],
                       Sound::make(std::vector<std::int16_t>(count, static_cast<std::int16_t>(fill + i)),
                                   22050, 1, 16, 1.0f));
    return model;
}

// True when the instrument at `path` loads with the aliases, order and values of `expected`.
bool loadsAs(const fs::path& path, const InstrumentModel& expected) {
    InstrumentModel loaded;
    try {
        loaded.loadFromFile(path.string());
    } catch (...) {
        return false;
    }
    if (loaded.soundCount() != expected.soundCount())
        return false;
    for (std::size_t i = 0; i < expected.soundCount(); ++i) {
        const std::string& alias = expected.aliasAt(i);
        if (loaded.aliasAt(i) != alias)
            return false;
        const auto a = loaded.soundFor(alias)->samples();
        const auto b = expected.soundFor(alias)->samples();
        if (!std::equal(a.begin(), a.end(), b.begin(), b.end()))
            return false;
    }
    return true;
}

std::string saveFailureWith(const InstrumentModel& model, const fs::path& path,
                            const std::function<bool()>& stopRequested) {
    try {
        model.saveToFile(path.string(), true, stopRequested);
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
void checkFailedSaveKeepsPreviousFiles(const fs::path& folder, const std::string& reason,
                                       MakeFull whileFull) {
    const fs::path path = folder / "keep.ins";
    modelOf({{"a", 100}, {"b", 50}}, 11).saveToFile(path.string(), true);
    const std::string definitionBefore = readText(path);
    const Bytes waveBefore = readBytes(folder / "keep/1/a.wav");

    const InstrumentModel larger = modelOf({{"a", 20000}, {"b", 20000}, {"c", 20000}}, -5);
    std::string failure;
    whileFull([&] { failure = saveFailure(larger, path); });
    EXPECT_EQ(failure, "Can't write sound file " + (folder / "keep/1/a.wav").string() + ": " + reason);

    EXPECT_EQ(readText(path), definitionBefore);
    EXPECT_EQ(readBytes(folder / "keep/1/a.wav"), waveBefore);
    EXPECT_FALSE(fs::exists(folder / "keep/1/c.wav"));
    EXPECT_EQ(temporaryFilesIn(folder), std::vector<std::string>{});
    InstrumentModel reloaded;
    reloaded.loadFromFile(path.string());
    ASSERT_EQ(reloaded.soundCount(), 2u);
    EXPECT_EQ(reloaded.soundFor("a")->count(), 100u);
    EXPECT_EQ(reloaded.soundFor("b")->samples()[0], 11);
}

} // namespace

TEST(SaveSafety, AFullDiskLeavesThePreviousFilesIntact) {
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    checkFailedSaveKeepsPreviousFiles(disk.path(), "No space left on device", [&](const auto& save) {
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
    checkFailedSaveKeepsPreviousFiles(folder.path(), "File too large", [&](const auto& save) {
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
              "Can't open file for saving instrument " + path.string() + ": Read-only file system");
    EXPECT_EQ(readText(path), before);
    InstrumentModel model;
    model.loadFromFile(path.string());
    EXPECT_EQ(model.soundCount(), 1u);
    EXPECT_EQ(model.soundFor("a")->samples()[0], 3);
}

TEST(SaveSafety, AFailureMidwayReplacesNothing) {
    // Two octaves saved, then a save of new notes that fails at the sixth.
    TempFolder folder;
    const fs::path path = folder / "g.ins";
    const InstrumentModel previous = notes(24, 300, 100);
    previous.saveToFile(path.string(), true);
    const auto before = filesUnder(folder.path());

    // A folder where the sixth WAV file goes makes it fail.
    fs::remove(folder / "g/1/1F.wav");
    fs::create_directories(folder / "g/1/1F.wav");
    const std::string failure = saveFailure(notes(24, 400, -100), path);
    EXPECT_EQ(failure, "Can't write sound file " + (folder / "g/1/1F.wav").string() + ": Is a directory");
    fs::remove(folder / "g/1/1F.wav");
    auto after = filesUnder(folder.path());
    after["g/1/1F.wav"] = before.at("g/1/1F.wav");
    EXPECT_EQ(after, before);
    EXPECT_EQ(temporaryFilesIn(folder.path()), std::vector<std::string>{});
}

TEST(SaveSafety, AFolderThatCannotBeCreatedIsReportedBeforeAnythingIsReplaced) {
    TempFolder folder;
    const fs::path path = folder / "g.ins";
    const InstrumentModel previous = notes(3, 50, 7);
    previous.saveToFile(path.string(), false);
    writeText(folder / "g", "a file where the sound folder would go");
    const auto before = filesUnder(folder.path());
    EXPECT_EQ(saveFailure(notes(3, 60, 9), path),
              "Can't create directory:Path not found " + (folder / "g").string() + ": Not a directory");
    EXPECT_EQ(filesUnder(folder.path()), before);
    EXPECT_TRUE(loadsAs(path, previous));

    // A numbered folder blocked by a file: the base folder made for the save goes again.
    fs::remove(folder / "g");
    writeText(folder / "h/2", "blocks folder 2");
    EXPECT_EQ(saveFailure(notes(13, 60, 9), folder / "h.ins"),
              "Can't create directory:Path not found " + (folder / "h/2").string() + ": Not a directory");
    EXPECT_FALSE(fs::exists(folder / "h.ins"));
    EXPECT_FALSE(fs::exists(folder / "h/1"));
}

TEST(SaveSafety, ReplacedFilesKeepTheirPermissionsAndLinks) {
    TempFolder folder;
    const fs::path path = folder / "p.ins";
    notes(2, 10, 1).saveToFile(path.string(), true);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chmod((folder / "p/1/1C.wav").c_str(), 0604), 0);
    const InstrumentModel next = notes(2, 20, 5);
    next.saveToFile(path.string(), true);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    ASSERT_EQ(::stat((folder / "p/1/1C.wav").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0604u);
    EXPECT_TRUE(loadsAs(path, next));

    // A definition file that is a link: its target is replaced, the link stays.
    fs::create_directories(folder / "store");
    fs::rename(path, folder / "store/real.ins");
    fs::create_symlink("store/real.ins", path);
    const InstrumentModel third = notes(2, 30, 9);
    third.saveToFile(path.string(), true);
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(fs::read_symlink(path), fs::path("store/real.ins"));
    EXPECT_NE(readText(folder / "store/real.ins").find("p/1/1C.wav"), std::string::npos);
    EXPECT_TRUE(loadsAs(path, third));
    EXPECT_EQ(temporaryFilesIn(folder.path()), std::vector<std::string>{});
}

TEST(SaveSafety, AFolderThatMayNotBeWrittenKeepsTheFixedTextAndGivesTheRealReason) {
    TempFolder folder;
    fs::create_directory(folder / "g");
    // The superuser may write anywhere but on a read-only file system.
    std::string reason = "Permission denied";
    bool mounted = false;
    if (::geteuid() == 0) {
        mounted = ::mount("tmpfs", (folder / "g").c_str(), "tmpfs", MS_RDONLY, "size=16k") == 0;
        if (!mounted)
            GTEST_SKIP() << "cannot mount a read-only tmpfs here";
        reason = "Read-only file system";
    } else {
        ASSERT_EQ(::chmod((folder / "g").c_str(), 0555), 0);
    }
    const std::string failure = saveFailure(notes(3, 60, 9), folder / "g.ins");
    if (mounted)
        ::umount2((folder / "g").c_str(), MNT_DETACH);
    else
        ::chmod((folder / "g").c_str(), 0755);
    EXPECT_EQ(failure, "Can't create directory:Path not found " + (folder / "g/1").string() + ": " + reason);
    EXPECT_FALSE(fs::exists(folder / "g.ins"));
}

TEST(SaveSafety, ReadOnlyFilesAreRefusedWithTheSavesMessage) {
    TempFolder folder;
    const fs::path path = folder / "r.ins";
    const InstrumentModel previous = notes(2, 10, 1);
    previous.saveToFile(path.string(), true);

    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    auto before = filesUnder(folder.path());
    EXPECT_EQ(saveFailure(notes(2, 20, 3), path),
              "Can't open file for saving instrument " + path.string() + ": Permission denied");
    EXPECT_EQ(filesUnder(folder.path()), before);

    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod((folder / "r/1/1C#.wav").c_str(), 0444), 0);
    EXPECT_EQ(saveFailure(notes(2, 20, 3), path),
              "Can't write sound file " + (folder / "r/1/1C#.wav").string() + ": Permission denied");
    EXPECT_EQ(filesUnder(folder.path()), before);
    EXPECT_TRUE(loadsAs(path, previous));
    EXPECT_EQ(temporaryFilesIn(folder.path()), std::vector<std::string>{});
}

TEST(SaveSafety, TemporariesOfEndedProcessesAreRemovedByTheNextSave) {
    TempFolder folder;
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string dead = ".kivora-" + std::to_string(child) + "-0.tmp";
    const std::string alive = ".kivora-" + std::to_string(::getppid()) + "-0.tmp";
    for (const char* sub : {"", "s/1", "s/2"}) {
        writeText(folder / sub / dead, "left by a killed save");
        writeText(folder / sub / alive, "a save in progress");
    }
    writeText(folder / "other/" / dead, "not a folder of this save");
    notes(13, 10, 1).saveToFile((folder / "s.ins").string(), true);
    for (const char* sub : {"", "s/1", "s/2"}) {
        EXPECT_FALSE(fs::exists(folder / sub / dead)) << sub;
        EXPECT_TRUE(fs::exists(folder / sub / alive)) << sub;
    }
    EXPECT_TRUE(fs::exists(folder / "other" / dead));
}

TEST(SaveSafety, AStopAtAnyMomentReplacesNothing) {
    // On a memory disk where one can be had: every save syncs its files.
    SmallDisk memoryDisk("16m");
    TempFolder plainFolder;
    const fs::path& folder = memoryDisk.mounted() ? memoryDisk.path() : plainFolder.path();
    const fs::path path = folder / "stop.ins";
    const InstrumentModel previous = notes(13, 5000, 3);
    previous.saveToFile(path.string(), true);
    const auto before = filesUnder(folder);
    const InstrumentModel next = notes(14, 9000, -8);

    int asked = 0;
    next.saveToFile((folder / "count.ins").string(), true, [&] { return ++asked, false; });
    ASSERT_GT(asked, 14 * 2);
    fs::remove_all(folder / "count");
    fs::remove(folder / "count.ins");

    for (int stopAt = 1; stopAt <= asked; ++stopAt) {
        int n = 0;
        EXPECT_EQ(saveFailureWith(next, path, [&] { return ++n >= stopAt; }),
                  "Saving stopped: nothing saved");
        ASSERT_EQ(filesUnder(folder), before) << "stopped at " << stopAt;
    }
    EXPECT_TRUE(loadsAs(path, previous));
}

// 200 saves that fail at random moments, seeded: a write failing past a random
// size, a stop request at a random check, or a small disk filled to a random
// level. Each leaves the previous instrument loading as it was, or (when the
// save got through) the new one, and never a temporary file.
TEST(SaveSafety, TwoHundredRandomFaultsNeverLeaveAMixedInstrument) {
    SmallDisk disk("256k");
    SmallDisk memoryDisk("16m"); // every save syncs its files: a memory disk keeps the test quick
    TempFolder plainFolder;
    const fs::path& otherFolder = memoryDisk.mounted() ? memoryDisk.path() : plainFolder.path();
    std::mt19937 random(20261208);
    const InstrumentModel previous = notes(14, 700, 1);
    const InstrumentModel next = notes(15, 900, -3);
    int failed = 0;
    for (int round = 0; round < 200; ++round) {
        const int kind = static_cast<int>(random() % 3);
        const bool onDisk = kind == 2 && disk.mounted();
        const fs::path folder = onDisk ? disk.path() : otherFolder;
        const fs::path path = folder / "round.ins";
        fs::remove_all(folder / "round");
        fs::remove(path);
        previous.saveToFile(path.string(), true);
        const auto before = filesUnder(folder);

        std::string failure;
        if (kind == 0) {
            FileSizeLimit limit(random() % 2400);
            ASSERT_TRUE(limit.active());
            failure = saveFailure(next, path);
        } else if (kind == 1) {
            const int stopAt = static_cast<int>(random() % 60);
            int n = 0;
            failure = saveFailureWith(next, path, [&] { return ++n >= stopAt; });
        } else {
            const fs::path filler = folder / "filler";
            {
                std::FILE* file = std::fopen(filler.c_str(), "wb");
                ASSERT_NE(file, nullptr);
                const std::vector<char> bytes(random() % 200000, 'f');
                std::fwrite(bytes.data(), 1, bytes.size(), file);
                std::fclose(file);
            }
            failure = saveFailure(next, path);
            fs::remove(filler);
        }
        EXPECT_EQ(temporaryFilesIn(folder), std::vector<std::string>{}) << "round " << round;
        if (failure == "nothing thrown") {
            ASSERT_TRUE(loadsAs(path, next)) << "round " << round;
        } else {
            ++failed;
            ASSERT_EQ(filesUnder(folder), before) << "round " << round << ": " << failure;
            ASSERT_TRUE(loadsAs(path, previous)) << "round " << round;
        }
    }
    EXPECT_GT(failed, 100);
}

TEST(SaveSafety, FolderNamesHoldNoBlanksAndUnreadableLinesAreRefused) {
    TempFolder folder;
    const InstrumentModel model = notes(2, 10, 4);
    model.saveToFile((folder / "my piano.ins").string(), true);
    EXPECT_EQ(readText(folder / "my piano.ins"), "1C 0 my_piano/1/1C.wav\n1C# 0 my_piano/1/1C#.wav\n");
    EXPECT_TRUE(loadsAs(folder / "my piano.ins", model));
    model.saveToFile((folder / "tab\tname").string(), true);
    EXPECT_TRUE(loadsAs(folder / "tab\tname", model));
    EXPECT_TRUE(fs::exists(folder / "tab_name_sounds/1/1C.wav"));

    const std::vector<std::int16_t> values = {1, 2};
    for (const std::string& alias :
         std::vector<std::string>{"two words", "--comment", "!end", std::string(300, 'a')}) {
        InstrumentModel unreadable;
        unreadable.addSound("fine", Sound::make(values, 8000, 1, 16, 1.0f));
        unreadable.addSound(alias, Sound::make(values, 8000, 1, 16, 1.0f));
        const std::string failure = saveFailure(unreadable, folder / "u.ins");
        EXPECT_EQ(failure.rfind("Can't write sound file ", 0), 0u) << alias;
        EXPECT_NE(failure.find("(an instrument file line cannot name it)"), std::string::npos) << failure;
        EXPECT_FALSE(fs::exists(folder / "u.ins")) << alias;
        EXPECT_FALSE(fs::exists(folder / "u")) << alias;
    }
}
