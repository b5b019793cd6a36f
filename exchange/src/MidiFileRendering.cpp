#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiFileRendering.h>
#include <kivora/exchange/RootKeys.h>

#include <algorithm>

namespace kivora::exchange {

const std::vector<std::string>& midiFileExtensions() {
    static const std::vector<std::string> extensions = {".mid", ".midi", ".smf"};
    return extensions;
}

bool isMidiFilePath(std::string_view path) {
    // Only the last dot counts: "song.mid.bak" is no MIDI file.
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return false;
    std::string extension(path.substr(dot));
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    const std::vector<std::string>& known = midiFileExtensions();
    return std::find(known.begin(), known.end(), extension) != known.end();
}

std::string describeSkippedPercussion(int percussionNotes) {
    if (percussionNotes <= 0)
        return {};
    return std::to_string(percussionNotes) +
           (percussionNotes == 1 ? " percussion note" : " percussion notes") + " (channel 10) skipped";
}

MidiFileRendering renderMidiFile(const std::string& midiPath, const pellamy::InstrumentModel& instrument,
                                 const SongRenderOptions& options) {
    const MidiSong song = readMidiFile(midiPath);
    if (instrument.soundCount() == 0)
        throw SongRenderError("No instrument to render with");
    MidiFileRendering result;
    result.rendering = renderSong(song, instrument, assignRootKeys(instrument), options);
    result.skippedPercussion = describeSkippedPercussion(result.rendering.percussionNotesSkipped);
    result.uncoveredKeys = describeUncoveredKeys(result.rendering.uncoveredKeys);
    return result;
}

} // namespace kivora::exchange
