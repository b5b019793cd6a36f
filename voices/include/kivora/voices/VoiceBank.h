// The voices of one player: note-on and note-off by key, voice stealing, a
// model changed between blocks, and the mix of every sounding voice. The
// mix is the same, bit for bit, whatever the number of threads rendering it.
#pragma once

#include <kivora/voices/Export.h>
#include <kivora/voices/Voice.h>
#include <kivora/voices/VoiceModel.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kivora::voices {

// A model with its voices made ready: made on any thread (it allocates every
// kernel), then handed to a bank, which swaps it in between two blocks.
class KIVORA_VOICES_API VoiceSet {
public:
    VoiceSet(std::shared_ptr<const VoiceModel> model, int voiceCount);
    const VoiceModel& model() const { return *model_; }
    std::size_t size() const { return voices_.size(); }
    Voice& voice(std::size_t index) { return *voices_[index]; }
    const Voice& voice(std::size_t index) const { return *voices_[index]; }
    bool anyActive() const;

private:
    std::shared_ptr<const VoiceModel> model_;
    std::vector<std::unique_ptr<Voice>> voices_;
};

// Threads: one thread at a time drives a bank (the render thread of a live
// player, or the caller off-line); it uses its helper threads only inside
// render(). After the constructor nothing allocates but replaceSet's
// hand-over of the old set (see takeRetiredSet).
class KIVORA_VOICES_API VoiceBank {
public:
    static constexpr int kDefaultVoiceCount = 16;
    static constexpr std::size_t kMaxBlockFrames = 1024;

    // `renderThreads` threads step the voices (the caller's included; 0 is
    // one per core). `realtimeHelpers`: the helper threads ask for a
    // real-time scheduling class (best effort), as a live player wants.
    VoiceBank(std::unique_ptr<VoiceSet> voices, unsigned renderThreads = 1, bool realtimeHelpers = false);
    ~VoiceBank();
    VoiceBank(const VoiceBank&) = delete;
    VoiceBank& operator=(const VoiceBank&) = delete;

    // A free voice of the current set, else the oldest released one, else
    // the oldest held one starts `key`. A key held already is released
    // first (a key sounds once per press). A key the model cannot play is
    // refused and noted in refusedKeys (once per key and model).
    void noteOn(int key, int velocity);
    // Releases every held voice of `key`.
    void noteOff(int key);
    // Releases every voice.
    void releaseAll();
    // Stops every voice at once, without a fade.
    void silenceAll();
    // How long a release fades, for the voices of this set and of later
    // ones (Voice::kReleaseMs until set). A voice fading already keeps its
    // fade. Allocates nothing.
    void setReleaseMs(double releaseMs);
    // The next notes play `voices`; voices sounding now are released and
    // fade out with their old model. A set still fading from an earlier
    // change is silenced at once.
    void replaceSet(std::unique_ptr<VoiceSet> voices);
    // The set that replaceSet retired, once none of its voices sounds (or
    // at once when it was silenced); null otherwise. Free it off the audio
    // thread.
    std::unique_ptr<VoiceSet> takeRetiredSet();

    // Adds nothing: writes the sum of every voice's displacements for
    // `frames` frames (at most kMaxBlockFrames) into `mix`.
    void render(double* mix, std::size_t frames);

    const VoiceSet& currentSet() const { return *current_; }
    int soundingVoiceCount() const;
    // Keys refused since the bank or its latest set was made, in the order
    // they were first pressed.
    const std::vector<int>& refusedKeys() const { return refusedKeys_; }
    unsigned renderThreads() const;

private:
    class Workers;
    Voice* chooseVoice();

    std::unique_ptr<VoiceSet> current_;
    std::unique_ptr<VoiceSet> fading_;  // the previous set while its voices fade
    std::unique_ptr<VoiceSet> retired_; // waiting for takeRetiredSet
    std::uint64_t nextOrder_ = 1;
    double releaseMs_ = Voice::kReleaseMs;
    std::array<bool, kKeyCount> refused_{};
    std::vector<int> refusedKeys_;
    std::vector<Voice*> sounding_;              // this block's voices, in set order
    std::vector<std::vector<double>*> outputs_; // their buffers
    std::vector<std::vector<double>> voiceMix_; // one block per voice slot of both sets
    std::unique_ptr<Workers> workers_;
};

// A note-on, note-off or release of every voice at a frame of an off-line rendering.
struct KeyEvent {
    enum class Kind { noteOn, noteOff, releaseAll };
    std::uint64_t frame = 0;
    Kind kind = Kind::noteOn;
    int key = 0;
    int velocity = 127;
};

struct OfflineRendering {
    std::vector<std::int16_t> samples; // mono, at the model's rate
    std::vector<int> refusedKeys;      // keys the model cannot play, once each
};

// Renders `events` (in frame order; equal frames in list order) through a
// bank of `voiceCount` voices for `lengthInFrames` frames, as the generator
// writes samples: the mixed displacement times 32767, clamped, truncated.
// The samples are the same for every thread count. Any thread.
KIVORA_VOICES_API OfflineRendering renderOffline(std::shared_ptr<const VoiceModel> model,
                                                 const std::vector<KeyEvent>& events,
                                                 std::uint64_t lengthInFrames,
                                                 int voiceCount = VoiceBank::kDefaultVoiceCount,
                                                 unsigned renderThreads = 1);

} // namespace kivora::voices
