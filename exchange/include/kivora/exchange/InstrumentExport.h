// An instrument exported for players of sampled instruments: a SoundFont 2
// bank or an SFZ file with its WAV files. Both exports are all or nothing:
// everything is written under temporary names and renamed into place when
// complete, so a failure leaves what was there before.
//
// Threads: any single thread; the instrument must not change meanwhile.
// Allocates the whole bank (SoundFont) or one sound's file at a time (SFZ).
#pragma once

#include <kivora/exchange/Export.h>
#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentModel.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivora::exchange {

// The release written when none is given: Kivora's song rendering's default.
inline constexpr double kExportReleaseMs = 30.0;

class ExportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bank's bytes: RIFF "sfbk" with INFO (version 2.01, engine, name,
// software), one 16-bit sample per sound and channel (each followed by the
// 46 zero points the format asks for), one instrument with a zone per sound
// (key range, overriding root key, fine tune, no loop; a stereo sound as a
// linked left/right pair; the release after a note-off, as Kivora renders
// songs) and one preset on bank 0, program 0.
KIVORA_EXCHANGE_API std::vector<std::uint8_t> buildSoundFont(const pellamy::InstrumentModel& instrument,
                                                             const std::vector<RootKey>& roots,
                                                             const std::string& name,
                                                             double releaseMs = kExportReleaseMs);

// The SFZ text: one <region> per sound with sample, lokey, hikey,
// pitch_keycenter, tune and ampeg_release; sample paths relative to the file, with '/'.
KIVORA_EXCHANGE_API std::string buildSfz(const std::vector<RootKey>& roots, const std::string& sampleFolder,
                                         const std::vector<std::string>& sampleFiles, const std::string& name,
                                         double releaseMs = kExportReleaseMs);

// The file name a sound's WAV gets in the SFZ folder: the alias with every
// character that a path or the SFZ line could misread replaced by '_'.
KIVORA_EXCHANGE_API std::string sampleFileName(const std::string& alias);

// Throws ExportError (one line) unless outputPath can take an export: it ends
// in .sf2 or .sfz, is no folder, and its folder exists and takes new files.
// Cheap; callers check before they measure root keys.
KIVORA_EXCHANGE_API void checkExportTarget(const std::string& outputPath);

// Writes OUT.sf2, or OUT.sfz with its folder OUT/ of WAV files (the folder
// name with blanks replaced by '_'), choosing by the extension. Throws
// ExportError with a one-line message.
KIVORA_EXCHANGE_API void exportInstrument(const pellamy::InstrumentModel& instrument,
                                          const std::vector<RootKey>& roots, const std::string& outputPath,
                                          double releaseMs = kExportReleaseMs);

} // namespace kivora::exchange
