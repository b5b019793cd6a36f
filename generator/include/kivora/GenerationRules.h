// The rules generation settings follow, one message per rule, and the
// counting rules of a run: every front end (the window's dialog and run,
// kivora-cli's generate, modes, render and play with --model, the plugin)
// asks these rather than checking on its own.
//
// Each refusal is a sentence for the user, "" when the value is accepted.
// Threads: any; the refusals allocate their text, the predicates nothing.
#pragma once

#include <kivora/GeneratorExport.h>
#include <kivora/NoteGenerator.h>

#include <cstdint>
#include <string>

namespace kivora {

// 0 (a single untuned note), 1, 2 or 3 octaves.
KIVORA_GENERATOR_API std::string octavesRefusal(int octaves);
// The rates the notes are rendered at: 44100, 22050 or 8000 samples per
// second. (The plugin renders at its host's rate, which it does not choose.)
KIVORA_GENERATOR_API std::string sampleRateRefusal(int sampleRate);
// 1 to GenerationSettings::kMaxDurationMs milliseconds: a note of 0 ms has no
// samples, and past the limit no run starts.
KIVORA_GENERATOR_API std::string durationRefusal(long long durationMs);
// Any finite attenuations (a negative one feeds the vibration instead of
// damping it, so the note swells), the linear one within the step's
// stability limit at the settings' rate (see attenuationRefusal).
KIVORA_GENERATOR_API bool attenuationsAccepted(const GenerationSettings& settings) noexcept;
// The first rule the settings break, in the dialog's order: octaves, rate,
// attenuations, duration.
KIVORA_GENERATOR_API std::string settingsRefusal(const GenerationSettings& settings);

// The sample-count rule: the integer part of sampleRate · 0.001 · durationMs,
// 1000 when that is negative and at least 1.
KIVORA_GENERATOR_API double samplesPerNoteFor(const GenerationSettings& settings);
// 12 per octave, or 1 for a single note.
KIVORA_GENERATOR_API int noteCountFor(const GenerationSettings& settings);
// Why the notes cannot be held: a note longer than
// NoteGenerator::kMaxSamplesPerNote samples, or buffers larger than
// availableBytes; "" when they fit.
KIVORA_GENERATOR_API std::string sizeRefusal(const GenerationSettings& settings,
                                             std::uint64_t availableBytes);

// The name of sound `note` of a run of `octaves`: "simpleNote" for the single
// untuned note, else its note name ("1C" ... "3B").
KIVORA_GENERATOR_API std::string soundName(int note, int octaves);

} // namespace kivora
