// Renders a melody script (.snc) through an instrument into a WAV file.
//
// Script lines, tested in this order outside a definition block:
//   "!begin"          opens a definition block, closed by a line starting "!end"
//   empty line        skipped ("\n" or "\r\n")
//   "--..."           comment
//   "!clear"          drops mixed sound not yet written; streaming sounds go on
//   "!wait SECONDS"   writes that span of the mix to the output
//   ALIAS FLAG DUR    a play line: flag 'a' plays DUR seconds (-1 streams the
//                     sound to its end), 'r' plays the portion DUR (0..1) of the
//                     sound, any other flag is ignored
// Lines are read in pieces of at most 1023 bytes; every piece counts as a line.
// Numbers are written with '.' decimals whatever the locale.
#pragma once

#include <pellamy/Export.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/MixMode.h>
#include <pellamy/WavFile.h>
#include <pellamy/WaveFormat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kivora::base {
class ReplacingFile;
}

namespace pellamy {

class Mixer;

// Failures are thrown as std::string, except the two noted as const char*.
// The output is written under a temporary name and renamed into place only
// when the whole script has rendered: a rendering that fails (a faulty line, a
// full disk, a stop request) resets the renderer, removes its temporary file
// and leaves an existing output untouched. A script whose waits add up to more
// than a WAV file holds is refused before anything is written.
//
// Thread: interface thread only. The renderer moves its sounds' cursors and
// playing flags, which live playing uses too (a held note): an instrument
// that plays live is rendered through InstrumentController, which parks the
// live state for the length of the rendering and gives it back.
class PELLAMY_API MelodyRenderer {
public:
    // Throws "Unknown mixer type" (const char*) for a mode outside 0..2.
    explicit MelodyRenderer(int mixMode = MixClip);
    ~MelodyRenderer();
    MelodyRenderer(const MelodyRenderer&) = delete;
    MelodyRenderer& operator=(const MelodyRenderer&) = delete;

    // Plays through `model` from now on without owning it; the model must
    // outlive the renderer, whose reset and destruction rewind its sounds. Throws
    // "Parser doesn't need any empty instruments!" (const char*) for nullptr.
    void setInstrument(InstrumentModel* model);

    // Renders the script into a new WAV file at wavPath in the format of the
    // instrument's first sound. Without an instrument, a definition block at
    // the head of the script builds one that the renderer keeps.
    void render(const std::string& scriptPath, const std::string& wavPath);

    // Empties the mixer, rewinds and stops every sound of the instrument,
    // closes the script and drops an unfinished output.
    void reset();

    // Asked between lines and blocks of a rendering; when it returns true the
    // rendering ends, its output is dropped (an existing file stays as it
    // was) and "Rendering stopped: nothing written" is thrown (std::string).
    void setStopCheck(std::function<bool()> stopRequested);

    // The largest data chunk a rendering may write (at most what a WAV file
    // can hold); a longer one fails with "Can't write to wav file PATH: the
    // rendering would be longer than the output may hold".
    void setOutputLimitBytes(std::uint64_t bytes);

    // The instrument played, or nullptr.
    const InstrumentModel* instrument() const { return instrument_; }
    // Lines (pieces) read from the script in the last rendering.
    std::uint32_t lineNumber() const { return lineNumber_; }
    // Values written and their format in the last rendering.
    std::uint64_t writtenValues() const { return bytesWritten_ / 2; }
    const WAVEFORMATEX& outputFormat() const { return outputFormat_; }

    // Values a wait writes at once at most; longer waits go in blocks of this size.
    static constexpr std::uint32_t kWaitBlockValues = 65536;

private:
    void renderLines(const std::string& scriptPath);
    void openOutput(const std::string& scriptPath);
    void discardOutput();
    void throwIfStopped();
    std::uint64_t scriptWaitBytes(const std::string& scriptPath) const;
    std::uint64_t waitBytes(double seconds) const;
    void loadDefinitionBlock(const std::string& scriptPath);
    void requireInstrument() const;
    void play(const std::string& alias, std::string_view flag, double duration);
    void wait(double seconds);
    void waitInBlocks(std::uint64_t valueCount);
    std::uint32_t waitBlockValues() const;
    void prepareTracks();
    std::int64_t waitPeak(std::uint64_t valueCount);
    void writeBlock(const std::int16_t* values, std::uint32_t n);
    [[noreturn]] void syntaxError() const;

    std::FILE* script_ = nullptr;
    std::unique_ptr<WavFile> output_;
    InstrumentModel* instrument_ = nullptr;
    std::unique_ptr<InstrumentModel> ownInstrument_; // built from a definition block
    std::unique_ptr<Mixer> mixer_;
    WAVEFORMATEX outputFormat_;
    std::uint32_t lineNumber_ = 0;
    bool borrowed_ = false;

    std::string outputPath_;                                 // where a finished rendering goes
    std::unique_ptr<kivora::base::ReplacingFile> replacing_; // where it is written until then
    std::uint64_t outputLimitBytes_;
    std::function<bool()> stopRequested_;
    std::uint64_t bytesWritten_ = 0;
    // A sound as the rendering reads it: its values (gain applied) in the
    // output's rate and channels, read at the sound's cursor.
    struct Track {
        Sound* sound = nullptr;
        std::vector<std::int16_t> values;
        std::uint32_t rate = 0;
        std::uint32_t channels = 1;
        // Points `values` at up to n values from the cursor and advances it.
        std::uint32_t readNext(const std::int16_t*& values, std::uint32_t n);
    };
    Track* trackFor(const Sound* sound);

    std::vector<Track> tracks_; // in definition order, made when the output opens
    std::vector<std::int16_t> block_;
    std::vector<std::int32_t> scratch_;
    std::vector<std::uint8_t> bytes_;
};

} // namespace pellamy
