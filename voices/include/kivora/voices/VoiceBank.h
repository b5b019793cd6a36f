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
// kernel and every buffer its voices render into), then handed to a bank,
// which swaps it in between two blocks.
//
// The voices are stepped in batches: lanesPerBatch voices of the model in one
// muntero::BatchedRungeKuttaKernel, voice v in lane v % lanesPerBatch of
// batch v / lanesPerBatch. Each voice sounds exactly as a Voice of its own
// would; a batch is stepped while any of its voices sounds.
class KIVORA_VOICES_API VoiceSet {
public:
    static constexpr std::size_t kMaxBlockFrames = 1024;

    // `lanesPerBatch`: 0 chooses one vector of lanes (8 where the processor
    // has AVX-512, 4 where it has AVX2, else 1); 1 gives every voice a
    // kernel of its own and steps it alone; 8 fills an AVX-512 vector, 4 an
    // AVX2 one.
    VoiceSet(std::shared_ptr<const VoiceModel> model, int voiceCount, int lanesPerBatch = 0);
    ~VoiceSet();
    VoiceSet(VoiceSet&&) noexcept;
    VoiceSet& operator=(VoiceSet&&) noexcept;

    const VoiceModel& model() const { return *model_; }
    std::size_t size() const { return voices_.size(); }
    Voice& voice(std::size_t index) { return *voices_[index]; }
    const Voice& voice(std::size_t index) const { return *voices_[index]; }
    bool anyActive() const;
    int lanesPerBatch() const { return lanesPerBatch_; }
    std::size_t batchCount() const { return batches_.size(); }

private:
    friend class VoiceBank;
    struct Batch;
    // The batches with a sounding voice, into busy_; notes which voices sound
    // in this block. Allocates nothing.
    void collectBusyBatches();
    // Steps batch `batch` for `frames` frames, each of its voices into its own output block.
    void renderBatch(Batch& batch, std::size_t frames);
    // Adds the blocks of this block's sounding voices to mix, in voice order.
    void addSoundingTo(double* mix, std::size_t frames) const;
    double* outputOf(std::size_t voice) { return output_.data() + voice * kMaxBlockFrames; }

    std::shared_ptr<const VoiceModel> model_;
    int lanesPerBatch_ = 1;
    std::vector<std::unique_ptr<Batch>> batches_;
    std::vector<std::unique_ptr<Voice>> voices_;
    std::vector<Batch*> busy_;   // this block's batches; capacity for all
    std::vector<char> sounding_; // per voice: sounds in this block
    std::vector<double> output_; // per voice, a block of kMaxBlockFrames
};

// Threads: one thread at a time drives a bank (the render thread of a live
// player, or the caller off-line); it uses its helper threads only inside
// render(). After the constructor nothing allocates (every buffer a block
// needs belongs to its voice set) but replaceSet's hand-over of the old set
// (see takeRetiredSet).
class KIVORA_VOICES_API VoiceBank {
public:
    static constexpr int kDefaultVoiceCount = 16;
    static constexpr std::size_t kMaxBlockFrames = VoiceSet::kMaxBlockFrames;

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
