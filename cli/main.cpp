// kivora-cli: the headless tool over the Kivora libraries.
#include "CommandLine.h"
#include "Commands.h"

#include <pellamy/ErrorText.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

using namespace kivora::cli;

namespace {

void printOverview(std::FILE* out) {
    std::fputs("usage: kivora-cli COMMAND [ARGUMENTS]\n\nCommands:\n", out);
    for (const Command& command : allCommands())
        std::fprintf(out, "  %-9.*s %.*s\n", static_cast<int>(command.name.size()), command.name.data(),
                     static_cast<int>(command.summary.size()), command.summary.data());
    std::fputs(
        "\nRun \"kivora-cli COMMAND --help\" for a command's arguments; \"kivora-cli --version\" prints the "
        "version.\n",
        out);
}

void printUsage(std::FILE* out, const Command& command) {
    std::fprintf(out, "usage: kivora-cli %.*s %.*s\n", static_cast<int>(command.name.size()),
                 command.name.data(), static_cast<int>(command.usage.size()), command.usage.data());
}

// Messages may carry line feeds of their own (the engine's duplicate-alias
// text has one in the middle); the tool prints exactly one line.
std::string oneLine(const std::string& text) {
    std::string line;
    bool atBreak = false;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            atBreak = true;
            continue;
        }
        if (atBreak) {
            if (c == ' ' || c == '\t')
                continue; // the break and the blanks after it become one blank
            atBreak = false;
            if (!line.empty() && line.back() != ' ')
                line += ' ';
        }
        line += c;
    }
    return line;
}

// The engine's words stay as they are; where the tool can say what to do in
// its own terms, that follows in brackets. A fixed text may be followed by
// the file and the reason; a hint that fits one reason only says so.
std::string withHint(const std::string& message) {
    static const struct {
        std::string_view fixedText;
        std::string_view reasonEnding; // empty: any
        const char* hint;
    } hints[] = {
        {"No instrument to render with",
         {},
         "give one with -i INSTRUMENT.ins, or begin the script with its own !begin ... !end block"},
        {"Incorrect key bind", {}, "a sound line's key is one character, or 0 for the next default key"},
        {"Too many sounds in instrument", {}, "an instrument holds at most 256 sounds"},
        {"Can't create directory:Path not found", ": No such file or directory",
         "create the folder that is to hold the .ins file first"},
    };
    const std::string_view text = message;
    for (const auto& known : hints) {
        const bool fixedTextFirst =
            text.starts_with(known.fixedText) &&
            (text.size() == known.fixedText.size() || text[known.fixedText.size()] == ' ');
        if (fixedTextFirst && text.ends_with(known.reasonEnding)) {
            return message + " (" + known.hint + ")";
        }
    }
    return message;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printOverview(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printOverview(stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("kivora-cli %s\n", KIVORA_VERSION);
        return 0;
    }
    const Command* command = nullptr;
    for (const Command& candidate : allCommands())
        if (candidate.name == name)
            command = &candidate;
    if (command == nullptr) {
        std::fprintf(stderr, "kivora-cli: unknown command \"%s\"\n", name.c_str());
        printOverview(stderr);
        return 2;
    }

    std::vector<std::string> arguments(argv + 2, argv + argc);
    if (CommandLine(arguments).wantsHelp()) {
        printUsage(stdout, *command);
        std::printf("\n%.*s\n", static_cast<int>(command->details.size()), command->details.data());
        return 0;
    }
    try {
        return command->run(std::move(arguments));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "kivora-cli %s: %s\n", name.c_str(), error.what());
        printUsage(stderr, *command);
        return 2;
    } catch (const CommandFailure& error) {
        std::fprintf(stderr, "%s\n", withHint(oneLine(error.what())).c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kivora-cli %s: %s\n", name.c_str(), oneLine(error.what()).c_str());
    } catch (...) {
        // The engine's own kinds (its texts and a device failure) are its
        // words, printed as they are.
        std::fprintf(stderr, "%s\n", withHint(oneLine(pellamy::currentExceptionMessage())).c_str());
    }
    return 1;
}
