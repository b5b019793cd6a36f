// Runs kivora-cli as a user does and captures what it prints.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

namespace kivora::cli::testing {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// `arguments` are shell words after the program name; `environment` is put in
// front of the command line ("NAME=value ...").
inline CliRun runCli(const std::string& arguments, const fs::path& scratch,
                     const std::string& environment = {}) {
    const fs::path errPath = scratch / "stderr.txt";
    const std::string command =
        environment + std::string("'") + KIVORA_CLI + "' " + arguments + " 2>'" + errPath.string() + "'";
    CliRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int result = ::pclose(pipe);
    run.status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return run;
}

// A fresh scratch folder per test, and the bundled instrument as a shell word.
class CliFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kivora-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override { fs::remove_all(scratch_); }

    CliRun run(const std::string& arguments, const std::string& environment = {}) const {
        return runCli(arguments, scratch_, environment);
    }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(scratch_ / name, std::ios::binary) << text;
        return (scratch_ / name).string();
    }

    fs::path scratch_;
    const std::string duo_ = std::string("'") + KIVORA_SOURCE_DIR + "/examples/instruments/duo.ins'";
};

} // namespace kivora::cli::testing
