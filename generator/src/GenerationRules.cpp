#include <kivora/GenerationRules.h>
#include <kivora/NoteTuning.h>

#include <cmath>
#include <cstdio>

namespace kivora {

namespace {

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f MB", bytes / (1024.0 * 1024.0));
    return text;
}

} // namespace

std::string octavesRefusal(int octaves) {
    if (octaves >= 0 && octaves <= 3) {
        return {};
    }
    return "The octaves must be 0 (a single note), 1, 2 or 3, not " + std::to_string(octaves);
}

std::string sampleRateRefusal(int sampleRate) {
    if (sampleRate == 44100 || sampleRate == 22050 || sampleRate == 8000) {
        return {};
    }
    return "The sample rate must be 44100, 22050 or 8000 samples per second, not " +
           std::to_string(sampleRate);
}

std::string durationRefusal(long long durationMs) {
    if (durationMs < 1) {
        return "The duration must be at least 1 millisecond: a note of " + std::to_string(durationMs) +
               " ms has no samples.";
    }
    if (durationMs > GenerationSettings::kMaxDurationMs) {
        return "The duration must be at most " + std::to_string(GenerationSettings::kMaxDurationMs) +
               " milliseconds (" + std::to_string(durationMs) + " ms is too long).";
    }
    return {};
}

bool attenuationsAccepted(const GenerationSettings& settings) noexcept {
    return std::isfinite(settings.linearDamping) && std::isfinite(settings.squareDamping) &&
           !(settings.linearDamping > kAttenuationStabilityLimit * settings.sampleRate);
}

std::string attenuationRefusal(const GenerationSettings& settings) {
    if (attenuationsAccepted(settings)) {
        return {};
    }
    if (!std::isfinite(settings.linearDamping) || !std::isfinite(settings.squareDamping)) {
        return "The attenuations must be finite numbers";
    }
    // The linear attenuation alone decays a velocity as exp(-c·t); a
    // Runge-Kutta step of h seconds follows that only while c·h stays within
    // the method's stability interval on the real axis. Beyond it every note
    // diverges within a few samples, whatever the springs.
    const double limit = kAttenuationStabilityLimit * settings.sampleRate;
    char text[320];
    std::snprintf(text, sizeof text,
                  "The linear attenuation %.10g is too strong for %d samples per second: the integration of "
                  "every note diverges within a few samples, whatever the springs. Keep it below %.0f",
                  settings.linearDamping, settings.sampleRate, std::floor(limit));
    return text;
}

std::string settingsRefusal(const GenerationSettings& settings) {
    for (std::string refusal : {octavesRefusal(settings.octaves), sampleRateRefusal(settings.sampleRate),
                                attenuationRefusal(settings), durationRefusal(settings.durationMs)}) {
        if (!refusal.empty()) {
            return refusal;
        }
    }
    return {};
}

double samplesPerNoteFor(const GenerationSettings& settings) {
    const double samples = std::trunc(settings.sampleRate * 0.001 * settings.durationMs);
    return samples < 0.0 ? 1000.0 : std::max(1.0, samples);
}

int noteCountFor(const GenerationSettings& settings) {
    return settings.octaves >= 1 ? 12 * settings.octaves : 1;
}

std::string sizeRefusal(const GenerationSettings& settings, std::uint64_t availableBytes) {
    const double samples = samplesPerNoteFor(settings);
    char text[256];
    if (samples > NoteGenerator::kMaxSamplesPerNote) {
        std::snprintf(text, sizeof text,
                      "The notes are too long: a note may have at most %d samples, and %d ms at %d Hz gives "
                      "%.0f.",
                      NoteGenerator::kMaxSamplesPerNote, settings.durationMs, settings.sampleRate, samples);
        return text;
    }
    const int notes = noteCountFor(settings);
    const double bytes = 2.0 * samples * notes;
    if (bytes > static_cast<double>(availableBytes)) {
        std::snprintf(text, sizeof text, "Not enough memory: the %d notes need %s, and %s are free.", notes,
                      megabytes(bytes).c_str(), megabytes(static_cast<double>(availableBytes)).c_str());
        return text;
    }
    return {};
}

std::string soundName(int note, int octaves) {
    return octaves <= 0 ? std::string("simpleNote") : noteName(note);
}

} // namespace kivora
