// Nothing lost: saves and renders of kivora-cli that fail, are interrupted
// or would overwrite what they read.
#include "CliTestSupport.h"

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <sys/mount.h>
#include <vector>

using namespace kivora::cli::testing;

namespace {

// LeakSanitizer cannot work under ptrace and aborts the traced tool; the
// address checks stay on.
const std::string kLeaksUnchecked = "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" ";

using Files = std::map<std::string, std::string>;

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file under `folder` (but the runner's stderr capture) with its contents.
Files filesUnder(const fs::path& folder) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().filename() != "stderr.txt")
            files[fs::relative(entry.path(), folder).string()] = contentsOf(entry.path());
    return files;
}

// The names whose contents differ between two snapshots ("" when none).
std::string differences(const Files& now, const Files& expected) {
    std::string names;
    for (const auto& [name, contents] : now)
        if (!expected.contains(name) || expected.at(name) != contents)
            names += (expected.contains(name) ? " changed:" : " added:") + name;
    for (const auto& [name, contents] : expected)
        if (!now.contains(name))
            names += " missing:" + name;
    return names;
}

std::vector<std::string> temporaryFilesUnder(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().filename().string().ends_with(".tmp"))
            found.push_back(entry.path().string());
    return found;
}

std::string word(const fs::path& path) {
    return "'" + path.string() + "'";
}

class FileSafety : public CliFixture {};

} // namespace

TEST_F(FileSafety, AnOutputNeverOverwritesAnInput) {
    const fs::path copy = scratch_ / "copy.ins";
    ASSERT_EQ(run("resave " + duo_ + " " + word(copy)).status, 0);
    const std::string script = write("tune.snc", "low a 0.1\n!wait 0.1\n");
    // A script with its own definition block.
    const std::string own = write("own.snc", "!begin\ndrum 0 copy/1/drum.wav\n!end\ndrum a -1\n!wait 0.1\n");
    const Files before = filesUnder(scratch_);

    const auto refused = [&](const std::string& arguments, const std::string& output,
                             const std::string& what) {
        const CliRun result = run(arguments);
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_EQ(result.err, "Can't write " + output + ": it is " + what +
                                  ", which would be lost (choose another output)\n")
            << arguments;
        EXPECT_EQ(differences(filesUnder(scratch_), before), "") << arguments;
    };
    refused("render " + word(script) + " -i " + word(copy) + " -o " + word(script), script,
            "the melody script");
    refused("render " + word(script) + " -i " + word(copy) + " -o " + word(copy), copy.string(),
            "the instrument file");
    const fs::path low = scratch_ / "copy/1/low.wav";
    refused("render " + word(script) + " -i " + word(copy) + " -o " + word(low), low.string(),
            "a sound file of the instrument");
    const fs::path drum = scratch_ / "copy/1/drum.wav";
    refused("render " + word(own) + " -o " + word(drum), drum.string(), "a sound file of the instrument");

    refused("resave " + word(copy) + " " + word(copy), (scratch_ / "copy/1/low.wav").string(),
            "a sound file of the instrument read");
    refused("resave --flat " + word(copy) + " " + word(scratch_ / "copy/1/other.ins"),
            (scratch_ / "copy/1/low.wav").string(), "a sound file of the instrument read");

    const std::string model = write("model.json", "not even read");
    const Files withModel = filesUnder(scratch_);
    const CliRun generate = run("generate " + word(model) + " -o " + word(model));
    EXPECT_EQ(generate.status, 1);
    EXPECT_EQ(generate.err, "Can't write " + model +
                                ": it is the model file, which would be lost (choose another output)\n");
    EXPECT_EQ(differences(filesUnder(scratch_), withModel), "");
}

TEST_F(FileSafety, InputsThatAreNoFilesFailAtOnceAndCreateNothing) {
    // timeout ends a command that would read forever.
    CliRun result = run("info /dev/zero", "timeout 60 ");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't open instrument file /dev/zero: not a regular file\n");
    result = run("render /dev/zero -i " + duo_ + " -o " + word(scratch_ / "zero.wav"), "timeout 60 ");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't open snc file! /dev/zero: not a regular file\n");
    fs::create_directories(scratch_ / "folder.snc");
    result = run("render " + word(scratch_ / "folder.snc") + " -i " + duo_);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Can't open snc file! " + (scratch_ / "folder.snc").string() + ": Is a directory\n");
    result = run("render " + word(scratch_ / "missing.snc") + " -i " + duo_);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't open snc file! " + (scratch_ / "missing.snc").string() +
                              ": No such file or directory\n");
    EXPECT_EQ(filesUnder(scratch_), Files{});
}

TEST_F(FileSafety, AFolderThatCannotBeCreatedGivesTheRealReasonAndNoMisleadingHint) {
    // A file where the sound folder goes: not a missing folder, so no advice to create one.
    std::ofstream(scratch_ / "blocked") << "a file where the sound folder goes";
    const CliRun result = run("resave " + duo_ + " " + word(scratch_ / "blocked.ins"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't create directory:Path not found " + (scratch_ / "blocked").string() +
                              ": Not a directory\n");
}

TEST_F(FileSafety, BytesOfABinaryScriptAreQuotedEscaped) {
    std::ofstream(scratch_ / "binary.snc", std::ios::binary) << std::string("\x7F"
                                                                            "ELF\x02\x01\x1B[2J a 1\n");
    const CliRun result = run("render " + word(scratch_ / "binary.snc") + " -i " + duo_);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Sorry, unknown alias \\x7FELF\\x02\\x01\\x1B[2J at line 1 of " +
                              (scratch_ / "binary.snc").string() +
                              ": the instrument's aliases are low, high, drum\n");
}

TEST_F(FileSafety, ARenderTooLongForAWavFileWritesNothing) {
    // Two waits of 2.2 GB each at 22 050 Hz: refused before the first is written.
    const std::string script = write("long.snc", "low a -1\n!wait 50000\n!wait 50000\n");
    const CliRun result = run("render " + word(script) + " -i " + duo_, "timeout 60 ");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't write to wav file " + (scratch_ / "long.wav").string() +
                              ": the rendering would be longer than the output may hold\n");
    EXPECT_FALSE(fs::exists(scratch_ / "long.wav"));
    EXPECT_EQ(temporaryFilesUnder(scratch_), std::vector<std::string>{});
}

TEST_F(FileSafety, AnInstrumentNamedWithBlanksLoadsAgain) {
    const fs::path piano = scratch_ / "my piano.ins";
    ASSERT_EQ(run("resave " + duo_ + " " + word(piano)).status, 0);
    EXPECT_EQ(contentsOf(piano),
              "low 0 my_piano/1/low.wav\nhigh 0 my_piano/1/high.wav\ndrum 0 my_piano/1/drum.wav\n");
    const CliRun info = run("info " + word(piano));
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, "low Q 11025 22050 1 0.500\nhigh 2 11025 22050 1 0.500\ndrum W 4410 22050 1 0.200\n");
}

TEST_F(FileSafety, ReadOnlyOutputsAreRefusedAndKept) {
    const fs::path copy = scratch_ / "copy.ins";
    ASSERT_EQ(run("resave " + duo_ + " " + word(copy)).status, 0);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const Files before = filesUnder(scratch_);
    const CliRun result = run("resave " + duo_ + " " + word(copy));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't open file for saving instrument " + copy.string() + ": Permission denied\n");
    EXPECT_EQ(differences(filesUnder(scratch_), before), "");
}

TEST_F(FileSafety, TemporariesOfAKilledSaveAreRemovedByTheNextOne) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace cannot trace here";
    const fs::path copy = scratch_ / "copy.ins";
    const fs::path tune = scratch_ / "tune.wav";
    const std::string script = write("tune.snc", "low a 0.1\n!wait 0.1\n");
    // SIGKILL cannot be caught: the process ends in the middle of writing.
    const std::string kill =
        kLeaksUnchecked + "strace -f -o /dev/null -e trace=fsync -e inject=fsync:signal=SIGKILL:when=2 ";
    run("resave " + duo_ + " " + word(copy), kill);
    run("render " + word(script) + " -i " + duo_ + " -o " + word(tune),
        kill + "-e trace=write -e inject=write:signal=SIGKILL:when=3 ");
    // A MIDI song is written under a temporary name; the first fsync comes
    // when the rendering is complete.
    const std::string song = write("song.mid", std::string("MThd\0\0\0\6\0\0\0\1\1\xE0"
                                                           "MTrk\0\0\0\xD"
                                                           "\0\x90\x30\x64\x83\x60\x80\x30\x40\0\xFF\x2F\0",
                                                           36));
    run("render " + word(song) + " -i " + duo_ + " -o " + word(scratch_ / "song.wav"),
        kLeaksUnchecked + "strace -f -o /dev/null -e trace=fsync -e inject=fsync:signal=SIGKILL:when=1 ");
    EXPECT_GE(temporaryFilesUnder(scratch_).size(), 3u);
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(scratch_ / "song.wav"));

    ASSERT_EQ(run("resave " + duo_ + " " + word(copy)).status, 0);
    ASSERT_EQ(run("render " + word(script) + " -i " + duo_ + " -o " + word(tune)).status, 0);
    for (const auto& entry : fs::recursive_directory_iterator(scratch_))
        EXPECT_EQ(entry.path().filename().string().find(".kivora-"), std::string::npos) << entry.path();
}

namespace {

// A memory disk over the scratch folder where one can be mounted: the rounds
// below sync every file they write.
class MemoryDisk {
public:
    explicit MemoryDisk(const fs::path& folder) : folder_(folder) {
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64m,mode=0755") == 0;
    }
    ~MemoryDisk() {
        if (mounted_)
            ::umount2(folder_.c_str(), MNT_DETACH);
    }

private:
    fs::path folder_;
    bool mounted_ = false;
};

// How often each traced system call occurs in the strace log at `log`.
std::map<std::string, int> callCounts(const fs::path& log) {
    std::map<std::string, int> counts;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        // "PID name(args" or "name(args"
        std::size_t start = line.find_first_not_of("0123456789 ");
        const std::size_t paren = line.find('(', start);
        if (start != std::string::npos && paren != std::string::npos)
            ++counts[line.substr(start, paren - start)];
    }
    return counts;
}

void restore(const fs::path& folder, const Files& files) {
    for (const auto& [name, contents] : files) {
        fs::create_directories((folder / name).parent_path());
        std::ofstream(folder / name, std::ios::binary) << contents;
    }
}

} // namespace

// 200 saves and renders, each hit by SIGINT or SIGTERM, or by a failing write,
// sync, open or rename, at a moment drawn with a seeded generator from the
// system calls the command makes (strace's fault injection). Each one leaves
// either the previous files or, when it succeeded, the new ones, and never a
// temporary file.
TEST_F(FileSafety, SignalsAndFailuresAtRandomMomentsLoseNothing) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace cannot trace here";
    MemoryDisk disk(scratch_);
    const fs::path inputs = scratch_ / "inputs";
    const fs::path work = scratch_ / "work";
    const fs::path expected = scratch_ / "expected";
    for (const fs::path& folder : {inputs, work, expected})
        fs::create_directories(folder);
    const std::string sources = "generate --octaves 2 --rate 8000 ";
    ASSERT_EQ(run(sources + "--duration 30 -o " + word(inputs / "a.ins")).status, 0);
    ASSERT_EQ(run(sources + "--linear 1 --duration 40 -o " + word(inputs / "b.ins")).status, 0);
    std::ofstream(inputs / "tune.snc") << "1C a -1\n!wait 0.02\n2B a 0.03\n!wait 0.05\n";

    struct Job {
        std::string previousCommand;
        std::string command;
        Files previous;
        Files next;
        std::map<std::string, int> calls;
    };
    std::vector<Job> jobs = {
        {"resave " + word(inputs / "a.ins") + " " + word(work / "out.ins"),
         "resave " + word(inputs / "b.ins") + " " + word(work / "out.ins"),
         {},
         {},
         {}},
        {"generate --octaves 1 --rate 8000 --duration 20 -o " + word(work / "out.ins"),
         "generate --octaves 1 --rate 8000 --duration 25 --linear 2 -o " + word(work / "out.ins"),
         {},
         {},
         {}},
        {"render " + word(inputs / "tune.snc") + " -i " + word(inputs / "a.ins") + " -o " +
             word(work / "out.wav"),
         "render " + word(inputs / "tune.snc") + " -i " + word(inputs / "b.ins") + " -o " +
             word(work / "out.wav"),
         {},
         {},
         {}},
    };
    const std::string traced = "write,openat,fsync,rename,link,mkdir,fchmod";
    for (Job& job : jobs) {
        fs::remove_all(work);
        fs::create_directories(work);
        ASSERT_EQ(run(job.command).status, 0);
        job.next = filesUnder(work);
        fs::remove_all(work);
        fs::create_directories(work);
        ASSERT_EQ(run(job.previousCommand).status, 0);
        job.previous = filesUnder(work);
        ASSERT_EQ(run(job.command, kLeaksUnchecked + "strace -f -o " + word(scratch_ / "calls.log") +
                                       " -e trace=" + traced + " ")
                      .status,
                  0);
        job.calls = callCounts(scratch_ / "calls.log");
        ASSERT_GT(job.calls["rename"], 0);
    }

    std::mt19937 random(20261208);
    const std::vector<std::string> faults = {"signal=SIGINT", "signal=SIGTERM", "error=ENOSPC", "error=EIO"};
    int keptPrevious = 0;
    for (int round = 0; round < 200; ++round) {
        const Job& job = jobs[random() % jobs.size()];
        std::vector<std::pair<std::string, int>> calls(job.calls.begin(), job.calls.end());
        const auto& [call, count] = calls[random() % calls.size()];
        const std::string fault = faults[random() % faults.size()];
        const int when = 1 + static_cast<int>(random() % count);

        fs::remove_all(work);
        fs::create_directories(work);
        restore(work, job.previous);
        const std::string strace = kLeaksUnchecked + "strace -f -o /dev/null -e trace=" + call +
                                   " -e inject=" + call + ":" + fault + ":when=" + std::to_string(when) + " ";
        const CliRun result = run(job.command, strace);
        const std::string where = "round " + std::to_string(round) + ": " + fault + " at " + call + " " +
                                  std::to_string(when) + ", status " + std::to_string(result.status) + " " +
                                  result.err;
        ASSERT_EQ(temporaryFilesUnder(scratch_), std::vector<std::string>{}) << where;
        const Files now = filesUnder(work);
        // A command that reports success has put everything in place; one that
        // reports a failure or an interrupt has changed nothing. A signal that
        // arrives once the work is done (or before it began) ends the process
        // as usual, with the one or the other whole.
        const bool reported = result.status == 0 || result.status == 1 ||
                              result.err.find("Interrupted: nothing") != std::string::npos;
        if (result.status == 0) {
            ASSERT_EQ(differences(now, job.next), "") << where;
        } else if (reported || differences(now, job.next) != "") {
            ASSERT_EQ(differences(now, job.previous), "") << where;
            ++keptPrevious;
        }
    }
    EXPECT_GT(keptPrevious, 50);
    // The previous instrument still loads as it was.
    fs::remove_all(work);
    fs::create_directories(work);
    restore(work, jobs[0].previous);
    EXPECT_EQ(run("info " + word(work / "out.ins")).out, run("info " + word(inputs / "a.ins")).out);
}
