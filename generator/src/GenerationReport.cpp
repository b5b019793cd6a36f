#include <kivora/GenerationReport.h>
#include <kivora/GenerationRules.h>
#include <ostrel/FrequencyExtraction.h>

#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>

namespace kivora {

namespace {

// Fixed notation with a point, whatever the process locale (the window's is the user's).
std::string fixed(double value, int decimals, bool sign = false) {
    std::array<char, 64> text{};
    char* begin = text.data();
    if (sign && !(value < 0.0)) {
        *begin++ = '+';
    }
    const auto result = std::to_chars(begin, text.data() + text.size(), value, std::chars_format::fixed, decimals);
    return std::string(text.data(), result.ptr);
}

std::string shortest(double value) {
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

std::string joined(const std::vector<std::string>& names, const char* separator) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : separator) + name;
    }
    return text;
}

double dominantFrequency(const NoteGenerator& generator) {
    const pellamy::WAVEFORMATEX& format = generator.format();
    ostrel::WAVEFORMATEX copy;
    copy.wFormatTag = format.wFormatTag;
    copy.nChannels = format.nChannels;
    copy.nSamplesPerSec = format.nSamplesPerSec;
    copy.nAvgBytesPerSec = format.nAvgBytesPerSec;
    copy.nBlockAlign = format.nBlockAlign;
    copy.wBitsPerSample = format.wBitsPerSample;
    copy.cbSize = format.cbSize;
    // The buffer is only read.
    return ostrel::extractFrequency(copy, const_cast<std::int16_t*>(generator.noteBuffer(0)),
                                    static_cast<unsigned>(generator.samplesPerNote()));
}

} // namespace

GenerationReport reportOf(const NoteGenerator& generator, std::vector<NoteTuning> tuning) {
    GenerationReport report;
    report.settings = generator.settings();
    report.stiffnessScale = generator.untunedStiffnessScale();
    const auto samples = static_cast<unsigned>(generator.samplesPerNote());
    const bool tuned = report.settings.octaves > 0;
    // The first note starts from the untuned model's state: silent when the untuned one was.
    report.untunedSilent = generator.noteBuffer(0) == nullptr || isSilent(generator.noteBuffer(0), samples) ||
                           (tuned && !(generator.baseFrequency() > 0.0));
    if (!report.untunedSilent) {
        report.untunedHz = tuned ? generator.baseFrequency() : dominantFrequency(generator);
    }
    for (int note = 0; note < generator.noteCount(); ++note) {
        const std::string name = soundName(note, report.settings.octaves);
        if (generator.noteUnstable(note)) {
            report.unstableNotes.push_back(name);
        }
        if (!report.untunedSilent && generator.noteBuffer(note) != nullptr &&
            isSilent(generator.noteBuffer(note), samples)) {
            report.silentNotes.push_back(name);
        }
    }
    report.mistunedNotes = findMistunedNotes(tuning).mistuned;
    report.notes = std::move(tuning);
    return report;
}

std::string silenceMessage(const GenerationReport& report) {
    if (!report.untunedSilent) {
        return {};
    }
    if (report.settings.octaves <= 0) {
        return "The note is silent: the flagged node does not move.";
    }
    return "The untuned note was silent: the flagged node does not move, so every note is silent and the tuning "
           "is meaningless.";
}

std::string describeSettings(const GenerationSettings& settings) {
    return "octaves " + std::to_string(settings.octaves) + ", rate " + std::to_string(settings.sampleRate) +
           ", duration " + std::to_string(settings.durationMs) + " ms, linear " +
           shortest(settings.linearDamping) + ", square " + shortest(settings.squareDamping);
}

std::vector<std::string> reportLines(const GenerationReport& report) {
    std::vector<std::string> lines = {"settings: " + describeSettings(report.settings)};
    std::string untuned = "untuned: " + (report.untunedSilent ? std::string("silent")
                                                              : fixed(report.untunedHz, 2) + " Hz");
    if (report.stiffnessScale != 1.0) {
        untuned += " with every spring scaled by " + shortest(report.stiffnessScale);
    }
    if (report.settings.octaves > 0 && !report.untunedSilent) {
        untuned += ", tuned to " + fixed(NoteGenerator::kFirstNoteHz, 2) + " Hz";
    }
    lines.push_back(untuned);
    for (const NoteTuning& note : report.notes) {
        std::string line = "note " + note.name + ": target " + fixed(note.targetHz, 2) + " Hz, ";
        line += note.measuredHz > 0.0 ? "measured " + fixed(note.measuredHz, 2) + " Hz, " +
                                            fixed(note.centsOff, 2, true) + " cents"
                                      : std::string("no resonance within a semitone");
        lines.push_back(line);
    }
    if (!report.unstableNotes.empty()) {
        lines.push_back("unstable: " + joined(report.unstableNotes, " "));
    }
    if (!report.silentNotes.empty()) {
        lines.push_back("silent: " + joined(report.silentNotes, " "));
    }
    if (!report.mistunedNotes.empty()) {
        lines.push_back("mistuned: " + joined(report.mistunedNotes, ", "));
    }
    return lines;
}

std::vector<std::string> provenanceComments(const std::string& modelName, const std::string& modelSha256,
                                            const GenerationReport& report) {
    std::vector<std::string> lines = {"generated by kivora from " + modelName};
    if (!modelSha256.empty()) {
        lines.push_back("model sha256: " + modelSha256);
    }
    for (std::string& line : reportLines(report)) {
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string sha256HexOfFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {};
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return file.bad() ? std::string() : sha256Hex(bytes);
}

} // namespace kivora
