#include "ThreadPriority.h"

#include <kivora/voices/VoiceBank.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace kivora::voices {

struct VoiceSet::Batch {
    // Null for a voice with a kernel of its own.
    std::unique_ptr<muntero::BatchedRungeKuttaKernel> kernel;
    std::size_t firstVoice = 0;
    std::size_t voiceCount = 0;
};

namespace {

// Batches of one vector of lanes (eight with AVX-512, four with AVX2), which
// step every model measured faster per voice than kernels of their own (see
// voices_bench); each voice alone with the plain kernel. A new note takes the
// first free voice, so the voices sounding fill one batch before the next.
int chosenLanesPerBatch(const VoiceModel& model, int voiceCount) {
    const int width = muntero::BatchedRungeKuttaKernel::vectorWidthFor(model.settings().kernel);
    return width > 0 ? std::min(width, voiceCount) : 1;
}

} // namespace

VoiceSet::VoiceSet(std::shared_ptr<const VoiceModel> model, int voiceCount, int lanesPerBatch)
    : model_(std::move(model)) {
    if (!model_ || voiceCount < 1 || lanesPerBatch < 0)
        throw std::invalid_argument("A voice set needs a model and at least one voice");
    lanesPerBatch_ =
        lanesPerBatch == 0 ? chosenLanesPerBatch(*model_, voiceCount) : std::min(lanesPerBatch, voiceCount);
    const auto voices = static_cast<std::size_t>(voiceCount);
    voices_.reserve(voices);
    const muntero::StepConstants constants = stepConstantsFor(model_->settings().generation);
    muntero::KernelChoice choice = model_->settings().kernel;
    // Four lanes fill the four-lane vectors, which a batch of eight-lane
    // vectors would leave half empty.
    if (lanesPerBatch_ <= 4 && choice != muntero::KernelChoice::plain)
        choice = muntero::KernelChoice::avx2;
    for (std::size_t first = 0; first < voices; first += static_cast<std::size_t>(lanesPerBatch_)) {
        auto batch = std::make_unique<Batch>();
        batch->firstVoice = first;
        batch->voiceCount = std::min(voices - first, static_cast<std::size_t>(lanesPerBatch_));
        if (lanesPerBatch_ == 1) {
            voices_.push_back(std::make_unique<Voice>(*model_));
        } else {
            batch->kernel = std::make_unique<muntero::BatchedRungeKuttaKernel>(
                model_->snapshot(), constants, static_cast<int>(batch->voiceCount), choice);
            for (int lane = 0; lane < static_cast<int>(batch->voiceCount); ++lane) {
                batch->kernel->clearLane(lane); // an idle voice rests
                voices_.push_back(std::unique_ptr<Voice>(new Voice(*model_, *batch->kernel, lane)));
            }
        }
        batches_.push_back(std::move(batch));
    }
    busy_.reserve(batches_.size());
    sounding_.assign(voices, 0);
    output_.assign(voices * kMaxBlockFrames, 0.0);
}

VoiceSet::~VoiceSet() = default;
VoiceSet::VoiceSet(VoiceSet&&) noexcept = default;
VoiceSet& VoiceSet::operator=(VoiceSet&&) noexcept = default;

bool VoiceSet::anyActive() const {
    return std::any_of(voices_.begin(), voices_.end(), [](const auto& voice) { return voice->active(); });
}

void VoiceSet::collectBusyBatches() {
    busy_.clear();
    for (const std::unique_ptr<Batch>& batch : batches_) {
        bool busy = false;
        for (std::size_t v = batch->firstVoice; v < batch->firstVoice + batch->voiceCount; ++v) {
            sounding_[v] = voices_[v]->active() ? 1 : 0;
            busy = busy || sounding_[v];
        }
        if (busy)
            busy_.push_back(batch.get()); // within the capacity reserved
    }
}

void VoiceSet::renderBatch(Batch& batch, std::size_t frames) {
    if (!batch.kernel) {
        voices_[batch.firstVoice]->render(outputOf(batch.firstVoice), frames);
        return;
    }
    muntero::BatchedRungeKuttaKernel& kernel = *batch.kernel;
    const double* sounding =
        kernel.displacements() + static_cast<std::ptrdiff_t>(model_->soundingNode()) * kernel.laneStride();
    // Each frame is read before the step that leads to the next: a voice
    // started for this block sounds its initial state first, as alone.
    for (std::size_t f = 0; f < frames; ++f) {
        bool anySounds = false;
        for (std::size_t lane = 0; lane < batch.voiceCount; ++lane) {
            Voice& voice = *voices_[batch.firstVoice + lane];
            double* out = outputOf(batch.firstVoice + lane);
            out[f] = voice.active() ? voice.soundOf(sounding[lane]) : 0.0;
            anySounds = anySounds || voice.active();
        }
        if (anySounds)
            kernel.advance();
    }
    // A freed voice's lane rests: a state decaying towards the smallest
    // numbers would slow every step of the batch down.
    for (std::size_t lane = 0; lane < batch.voiceCount; ++lane) {
        Voice& voice = *voices_[batch.firstVoice + lane];
        if (!voice.active() && voice.laneInUse_) {
            kernel.clearLane(static_cast<int>(lane));
            voice.laneInUse_ = false;
        }
    }
}

void VoiceSet::addSoundingTo(double* mix, std::size_t frames) const {
    for (std::size_t v = 0; v < voices_.size(); ++v) {
        if (!sounding_[v])
            continue;
        const double* output = output_.data() + v * kMaxBlockFrames;
        for (std::size_t f = 0; f < frames; ++f)
            mix[f] = mix[f] + output[f];
    }
}

namespace {

// Spins until `done()` or until `limit` has passed. A
// sleeping thread woken through a futex may take a few hundred microseconds
// to run again on a virtual machine, a tenth of a block, so the threads of a
// block wait a little awake before they sleep.
template <typename Done>
void spinUntil(Done done, std::chrono::microseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (int round = 0;; ++round) {
        if (done() || (round % 64 == 63 && std::chrono::steady_clock::now() >= end))
            return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

// How long a helper stays awake after its batches, for the next block that a
// render thread behind its device starts at once, and how long the caller
// waits awake for the helpers.
constexpr std::chrono::microseconds kHelperSpin{300};
constexpr std::chrono::microseconds kCallerSpin{1000};

} // namespace

// Helper threads that step a block's batches with the calling thread. Each
// batch is stepped by exactly one thread, each voice into its own buffer, so
// which thread takes it changes nothing in the result. The helpers wait on
// atomics between blocks, awake for a moment, then asleep (a futex): they are
// not the audio thread.
class VoiceBank::Workers {
public:
    Workers(unsigned helperCount, bool realtime) {
        threads_.reserve(helperCount);
        for (unsigned t = 0; t < helperCount; ++t)
            threads_.emplace_back([this, realtime] {
                if (realtime)
                    detail::tryRealtimePriority();
                serve();
            });
    }
    ~Workers() {
        stopping_.store(true);
        generation_.fetch_add(1);
        generation_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }
    unsigned threadCount() const { return static_cast<unsigned>(threads_.size()) + 1; }

    void run(VoiceSet& set, std::size_t frames) {
        set_ = &set;
        count_ = set.busy_.size();
        frames_ = frames;
        next_.store(0);
        const bool shared = !threads_.empty() && count_ > 1;
        if (shared) {
            pendingHelpers_.store(threads_.size());
            generation_.fetch_add(1);
            generation_.notify_all();
        }
        work();
        if (shared) {
            // Every helper has left work(): its batches are finished and it
            // reads nothing of this block any more.
            spinUntil([this] { return pendingHelpers_.load() == 0; }, kCallerSpin);
            for (std::size_t pending = pendingHelpers_.load(); pending != 0; pending = pendingHelpers_.load())
                pendingHelpers_.wait(pending);
        }
    }

private:
    void work() {
        for (std::size_t i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1))
            set_->renderBatch(*set_->busy_[i], frames_);
    }
    void serve() {
        std::uint64_t seen = 0;
        for (;;) {
            spinUntil([this, seen] { return generation_.load() != seen; }, kHelperSpin);
            generation_.wait(seen);
            seen = generation_.load();
            if (stopping_.load())
                return;
            work();
            pendingHelpers_.fetch_sub(1);
            pendingHelpers_.notify_all();
        }
    }

    std::vector<std::thread> threads_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::size_t> pendingHelpers_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> next_{0};
    VoiceSet* set_ = nullptr;
    std::size_t count_ = 0;
    std::size_t frames_ = 0;
};

VoiceBank::VoiceBank(std::unique_ptr<VoiceSet> voices, unsigned renderThreads, bool realtimeHelpers)
    : current_(std::move(voices)) {
    if (!current_)
        throw std::invalid_argument("A voice bank needs a voice set");
    const unsigned threads =
        renderThreads == 0 ? std::max(1u, std::thread::hardware_concurrency()) : renderThreads;
    workers_ = std::make_unique<Workers>(threads - 1, realtimeHelpers);
    refusedKeys_.reserve(kKeyCount);
}

VoiceBank::~VoiceBank() = default;

unsigned VoiceBank::renderThreads() const {
    return workers_->threadCount();
}

Voice* VoiceBank::chooseVoice() {
    Voice* oldestReleased = nullptr;
    Voice* oldestHeld = nullptr;
    for (std::size_t v = 0; v < current_->size(); ++v) {
        Voice& voice = current_->voice(v);
        if (!voice.active())
            return &voice;
        Voice*& oldest = voice.released() ? oldestReleased : oldestHeld;
        if (oldest == nullptr || voice.order() < oldest->order())
            oldest = &voice;
    }
    return oldestReleased != nullptr ? oldestReleased : oldestHeld;
}

void VoiceBank::noteOn(int key, int velocity) {
    if (!current_->model().keySounds(key)) {
        if (key >= 0 && key < kKeyCount && !refused_[static_cast<std::size_t>(key)]) {
            refused_[static_cast<std::size_t>(key)] = true;
            refusedKeys_.push_back(key); // within the capacity reserved
        }
        return;
    }
    noteOff(key);
    chooseVoice()->start(key, std::clamp(velocity, 1, 127), nextOrder_++);
}

void VoiceBank::noteOff(int key) {
    for (std::size_t v = 0; v < current_->size(); ++v) {
        Voice& voice = current_->voice(v);
        if (voice.active() && voice.key() == key)
            voice.release();
    }
}

void VoiceBank::releaseAll() {
    for (VoiceSet* set : {current_.get(), fading_.get()}) {
        if (set == nullptr)
            continue;
        for (std::size_t v = 0; v < set->size(); ++v)
            set->voice(v).release();
    }
}

void VoiceBank::silenceAll() {
    for (VoiceSet* set : {current_.get(), fading_.get()}) {
        if (set == nullptr)
            continue;
        for (std::size_t v = 0; v < set->size(); ++v)
            set->voice(v).silence();
    }
}

void VoiceBank::setReleaseMs(double releaseMs) {
    releaseMs_ = releaseMs;
    for (std::size_t v = 0; v < current_->size(); ++v)
        current_->voice(v).setReleaseMs(releaseMs);
}

void VoiceBank::replaceSet(std::unique_ptr<VoiceSet> voices) {
    if (!voices)
        return;
    if (fading_) {
        for (std::size_t v = 0; v < fading_->size(); ++v)
            fading_->voice(v).silence();
        // A set retired earlier and never collected is freed here.
        retired_ = std::move(fading_);
    }
    for (std::size_t v = 0; v < current_->size(); ++v)
        current_->voice(v).release();
    fading_ = std::move(current_);
    current_ = std::move(voices);
    if (releaseMs_ != Voice::kReleaseMs)
        for (std::size_t v = 0; v < current_->size(); ++v)
            current_->voice(v).setReleaseMs(releaseMs_);
    std::fill(refused_.begin(), refused_.end(), false);
    refusedKeys_.clear();
}

std::unique_ptr<VoiceSet> VoiceBank::takeRetiredSet() {
    if (!retired_ && fading_ && !fading_->anyActive())
        retired_ = std::move(fading_);
    return std::move(retired_);
}

int VoiceBank::soundingVoiceCount() const {
    int count = 0;
    for (const VoiceSet* set : {current_.get(), fading_.get()}) {
        if (set == nullptr)
            continue;
        for (std::size_t v = 0; v < set->size(); ++v)
            count += set->voice(v).active() ? 1 : 0;
    }
    return count;
}

void VoiceBank::render(double* mix, std::size_t frames) {
    frames = std::min(frames, kMaxBlockFrames);
    std::fill(mix, mix + frames, 0.0);
    for (VoiceSet* set : {current_.get(), fading_.get()}) {
        if (set == nullptr)
            continue;
        set->collectBusyBatches();
        if (!set->busy_.empty())
            workers_->run(*set, frames);
    }
    // Summed in set order, one thread: the same roundings for every thread count.
    for (const VoiceSet* set : {current_.get(), fading_.get()})
        if (set != nullptr)
            set->addSoundingTo(mix, frames);
}

OfflineRendering renderOffline(std::shared_ptr<const VoiceModel> model, const std::vector<KeyEvent>& events,
                               std::uint64_t lengthInFrames, int voiceCount, unsigned renderThreads) {
    VoiceBank bank(std::make_unique<VoiceSet>(std::move(model), voiceCount), renderThreads);
    OfflineRendering result;
    result.samples.resize(lengthInFrames);
    std::vector<double> mix(VoiceBank::kMaxBlockFrames);
    std::size_t nextEvent = 0;
    std::uint64_t position = 0;
    while (position < lengthInFrames) {
        for (; nextEvent < events.size() && events[nextEvent].frame <= position; ++nextEvent) {
            const KeyEvent& event = events[nextEvent];
            switch (event.kind) {
            case KeyEvent::Kind::noteOn:
                bank.noteOn(event.key, event.velocity);
                break;
            case KeyEvent::Kind::noteOff:
                bank.noteOff(event.key);
                break;
            case KeyEvent::Kind::releaseAll:
                bank.releaseAll();
                break;
            }
        }
        std::uint64_t end = std::min<std::uint64_t>(lengthInFrames, position + VoiceBank::kMaxBlockFrames);
        if (nextEvent < events.size())
            end = std::min(end, events[nextEvent].frame);
        const auto frames = static_cast<std::size_t>(end - position);
        bank.render(mix.data(), frames);
        for (std::size_t f = 0; f < frames; ++f)
            result.samples[position + f] = sampleOfDisplacement(mix[f]);
        position = end;
    }
    result.refusedKeys = bank.refusedKeys();
    return result;
}

} // namespace kivora::voices
