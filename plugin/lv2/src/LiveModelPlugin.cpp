// The LV2 instrument "Kivora Model": the voices library played by a host.
//
// Threads, as LV2 names them:
// - audio (run, work_response): renders, applies MIDI and controls, asks the
//   worker for everything that allocates, frees nothing, logs nothing;
// - worker (work): loads and measures models, makes voice sets, frees what
//   the audio thread has retired, writes the log;
// - instantiation (instantiate, cleanup), and save and restore, which may run
//   beside run(): they read and write the worker's record of the model under
//   its mutex, which the audio thread never takes; restore prepares its model
//   itself and hands it to run() through an atomic pointer.
#include "ModelPreparation.h"

#include <kivora/GenerationRules.h>
#include <kivora/voices/VoiceBank.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace kivora::lv2 {

namespace {

constexpr const char* kPluginUri = "urn:kivora:live-model";
constexpr const char* kModelUri = "urn:kivora:live-model#model";
constexpr const char* kModelTextUri = "urn:kivora:live-model#modelText";
constexpr const char* kLinearUri = "urn:kivora:live-model#linearAttenuation";
constexpr const char* kSquareUri = "urn:kivora:live-model#squareAttenuation";

// A mix this far beyond full scale (60 dB) is no sound but a model that runs
// away; it is muted, never handed to the host.
constexpr double kRunawayDisplacement = 1000.0;
constexpr std::size_t kMaxPathBytes = 4096;
constexpr float kSilentGainDb = -60.0f;

enum Port : std::uint32_t {
    control,
    notify,
    out,
    linear,
    square,
    release,
    gain,
    polyphony,
    helpers,
    portCount
};

struct Uris {
    LV2_URID atomPath, atomString, atomDouble, atomFloat, atomInt, atomUrid, atomObject, atomSequence,
        atomEventTransfer, midiEvent, patchSet, patchGet, patchProperty, patchValue, model, modelText, linear,
        square;

    explicit Uris(LV2_URID_Map* map) {
        auto id = [map](const char* uri) { return map->map(map->handle, uri); };
        atomPath = id(LV2_ATOM__Path);
        atomString = id(LV2_ATOM__String);
        atomDouble = id(LV2_ATOM__Double);
        atomFloat = id(LV2_ATOM__Float);
        atomInt = id(LV2_ATOM__Int);
        atomUrid = id(LV2_ATOM__URID);
        atomObject = id(LV2_ATOM__Object);
        atomSequence = id(LV2_ATOM__Sequence);
        atomEventTransfer = id(LV2_ATOM__eventTransfer);
        midiEvent = id(LV2_MIDI__MidiEvent);
        patchSet = id(LV2_PATCH__Set);
        patchGet = id(LV2_PATCH__Get);
        patchProperty = id(LV2_PATCH__property);
        patchValue = id(LV2_PATCH__value);
        model = id(kModelUri);
        modelText = id(kModelTextUri);
        linear = id(kLinearUri);
        square = id(kSquareUri);
    }
};

// What the audio thread hands the worker to free.
struct Garbage {
    voices::VoiceSet* set = nullptr;
    PreparedModel* model = nullptr; // a model's record the bank no longer plays
    voices::VoiceBank* bank = nullptr;
    bool empty() const { return set == nullptr && model == nullptr && bank == nullptr; }
    void free() {
        delete set;
        delete model;
        delete bank;
    }
};

// What the audio thread asks of the worker. The host copies
// the bytes; a path follows the header.
struct Job {
    enum class Kind : std::uint32_t { loadFile, retune, dispose, refusedKey, runaway };
    Kind kind = Kind::retune;
    VoiceParameters parameters;
    bool fromAudioThread = false; // counted in jobsInFlight_
    Garbage garbage;              // dispose
    int key = -1;
    double value = 0.0;
    std::uint32_t pathBytes = 0;
};

struct Response {
    PreparedModel* prepared = nullptr; // null when the job failed
    bool fromAudioThread = false;
};

class LiveModelPlugin {
public:
    LiveModelPlugin(double sampleRate, const LV2_Feature* const* features);

    void connect(std::uint32_t port, void* data);
    void run(std::uint32_t frames) noexcept;

    LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                           std::uint32_t size, const void* data);
    LV2_Worker_Status workResponse(std::uint32_t size, const void* data) noexcept;
    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle);
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                             const LV2_Feature* const* features);

    bool ready() const { return bank_ != nullptr; }
    ~LiveModelPlugin();

private:
    VoiceParameters portParameters() const;
    void applyControls() noexcept;
    void renderUntil(std::uint32_t frame) noexcept;
    void handleMidi(const std::uint8_t* message, std::uint32_t size) noexcept;
    void handlePatch(const LV2_Atom_Object* object) noexcept;
    void sendModelPath() noexcept;
    void adopt(PreparedModel* prepared) noexcept;
    void dispose(Garbage garbage) noexcept;
    void retryDisposals() noexcept;
    bool schedule(const Job& job, const char* path = nullptr, std::uint32_t pathBytes = 0) noexcept;
    void reportRefusedKeys() noexcept;
    // Worker and instantiation threads.
    void record(const PreparedModel& prepared);

    int sampleRate_;
    LV2_URID_Map* map_ = nullptr;
    LV2_Worker_Schedule* schedule_ = nullptr;
    LV2_Log_Logger logger_{};
    std::unique_ptr<Uris> uris_;
    LV2_Atom_Forge forge_{};
    LV2_Atom_Forge_Frame notifyFrame_{}; // the notify port's sequence during run()

    const LV2_Atom_Sequence* controlPort_ = nullptr;
    LV2_Atom_Sequence* notifyPort_ = nullptr;
    float* outPort_ = nullptr;
    const float* linearPort_ = nullptr;
    const float* squarePort_ = nullptr;
    const float* releasePort_ = nullptr;
    const float* gainPort_ = nullptr;
    const float* polyphonyPort_ = nullptr;
    const float* helpersPort_ = nullptr;

    // Audio thread.
    std::unique_ptr<voices::VoiceBank> bank_;
    PreparedModel* adopted_ = nullptr; // owned; its voices belong to the bank
    std::vector<double> mix_;
    VoiceParameters requested_; // what the latest preparation asked for
    int jobsInFlight_ = 0;
    float appliedReleaseMs_ = -1.0f;
    float appliedGainDb_ = 0.0f;
    double gain_ = 1.0;
    std::uint32_t rendered_ = 0; // frames of this run() written so far
    std::size_t refusedReported_ = 0;
    bool runawayReported_ = false;
    bool modelPathPending_ = false;
    bool sustainPedal_ = false;
    std::array<bool, voices::kKeyCount> held_{};
    std::array<bool, voices::kKeyCount> sustained_{};
    std::array<Garbage, 16> undisposed_{}; // when the worker's queue was full

    // A restored model for run() to take.
    std::atomic<PreparedModel*> restored_{nullptr};
    // Worker's record of the model that takes the next notes.
    std::mutex recordMutex_;
    ModelSource record_;
};

float portValue(const float* port, float fallback) {
    return port != nullptr && std::isfinite(*port) ? *port : fallback;
}

// The double a player means by a control's float: the one with the float's
// shortest decimal form, so 0.08 from a host is the 0.08 that kivora-cli's
// --square reads, not 0.0799999982. Allocates nothing.
double decimalValue(float value) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    double result = value;
    std::from_chars(text, written.ptr, result);
    return result;
}

// A bank for the prepared voices with its helper threads, its buffers sized
// for as many voices as it will ever hold (the largest set fading while the
// largest set plays), so that run() never grows them.
std::unique_ptr<voices::VoiceBank> makeBank(PreparedModel& prepared) {
    auto largest = [&] { return std::make_unique<voices::VoiceSet>(prepared.source.model, kMaxPolyphony); };
    const auto threads = static_cast<unsigned>(1 + prepared.source.parameters.helperThreads);
    auto bank = std::make_unique<voices::VoiceBank>(largest(), threads, true);
    std::vector<double> mix(1);
    bank->replaceSet(largest());
    bank->render(mix.data(), 1);
    bank->replaceSet(std::move(prepared.voices));
    bank->render(mix.data(), 1);
    while (bank->takeRetiredSet()) {
    }
    return bank;
}

LiveModelPlugin::LiveModelPlugin(double sampleRate, const LV2_Feature* const* features)
    : sampleRate_(static_cast<int>(std::lround(sampleRate))), mix_(voices::VoiceBank::kMaxBlockFrames) {
    LV2_Log_Log* log = nullptr;
    const char* missing = lv2_features_query(features, LV2_LOG__log, &log, false, LV2_URID__map, &map_, true,
                                             LV2_WORKER__schedule, &schedule_, true, nullptr);
    lv2_log_logger_init(&logger_, map_, log);
    if (missing != nullptr) {
        lv2_log_error(&logger_, "Kivora Model: the host lacks the feature %s\n", missing);
        return;
    }
    uris_ = std::make_unique<Uris>(map_);
    lv2_atom_forge_init(&forge_, map_);
    try {
        std::unique_ptr<PreparedModel> prepared = prepareBuiltIn(VoiceParameters{}, sampleRate_);
        record(*prepared);
        bank_ = makeBank(*prepared);
        adopted_ = prepared.release();
        requested_ = adopted_->source.parameters;
    } catch (const std::exception& failure) {
        lv2_log_error(&logger_, "Kivora Model: %s\n", failure.what());
        bank_.reset();
    }
}

LiveModelPlugin::~LiveModelPlugin() {
    bank_.reset();
    delete adopted_;
    delete restored_.load();
    for (Garbage& garbage : undisposed_)
        garbage.free();
}

void LiveModelPlugin::connect(std::uint32_t port, void* data) {
    switch (port) {
    case Port::control:
        controlPort_ = static_cast<const LV2_Atom_Sequence*>(data);
        break;
    case Port::notify:
        notifyPort_ = static_cast<LV2_Atom_Sequence*>(data);
        break;
    case Port::out:
        outPort_ = static_cast<float*>(data);
        break;
    case Port::linear:
        linearPort_ = static_cast<const float*>(data);
        break;
    case Port::square:
        squarePort_ = static_cast<const float*>(data);
        break;
    case Port::release:
        releasePort_ = static_cast<const float*>(data);
        break;
    case Port::gain:
        gainPort_ = static_cast<const float*>(data);
        break;
    case Port::polyphony:
        polyphonyPort_ = static_cast<const float*>(data);
        break;
    case Port::helpers:
        helpersPort_ = static_cast<const float*>(data);
        break;
    default:
        break;
    }
}

VoiceParameters LiveModelPlugin::portParameters() const {
    // Kept within the ranges the description gives, whatever a host sends.
    VoiceParameters parameters;
    GenerationSettings attenuations;
    attenuations.sampleRate = sampleRate_;
    attenuations.linearDamping = std::clamp(decimalValue(portValue(linearPort_, 4.0f)), 0.0, 100.0);
    attenuations.squareDamping = std::clamp(decimalValue(portValue(squarePort_, 0.08f)), 0.0, 10.0);
    // The generator's rule, as every front end asks it: attenuations it
    // refuses (the linear one too strong for a very low host rate) keep the
    // ones asked for last.
    if (attenuationsAccepted(attenuations)) {
        parameters.linearDamping = attenuations.linearDamping;
        parameters.squareDamping = attenuations.squareDamping;
    } else {
        parameters.linearDamping = requested_.linearDamping;
        parameters.squareDamping = requested_.squareDamping;
    }
    parameters.polyphony =
        std::clamp(static_cast<int>(std::lround(portValue(polyphonyPort_, 16.0f))), 1, kMaxPolyphony);
    parameters.helperThreads =
        std::clamp(static_cast<int>(std::lround(portValue(helpersPort_, 0.0f))), 0, kMaxHelperThreads);
    return parameters;
}

void LiveModelPlugin::applyControls() noexcept {
    const float releaseMs = std::clamp(portValue(releasePort_, 30.0f), 1.0f, 5000.0f);
    if (releaseMs != appliedReleaseMs_) {
        bank_->setReleaseMs(releaseMs);
        appliedReleaseMs_ = releaseMs;
    }
    const float gainDb = std::clamp(portValue(gainPort_, 0.0f), kSilentGainDb, 24.0f);
    if (gainDb != appliedGainDb_) {
        gain_ = gainDb <= kSilentGainDb ? 0.0 : std::pow(10.0, gainDb / 20.0);
        appliedGainDb_ = gainDb;
    }
    // One preparation at a time: a control swept by automation asks again
    // once the previous one has arrived, with the value it has then.
    const VoiceParameters wanted = portParameters();
    if (jobsInFlight_ == 0 && !(wanted == requested_)) {
        Job job;
        job.kind = Job::Kind::retune;
        job.parameters = wanted;
        job.fromAudioThread = true;
        if (schedule(job))
            requested_ = wanted;
    }
}

void LiveModelPlugin::run(std::uint32_t frames) noexcept {
    if (outPort_ == nullptr)
        return;
    if (!bank_) {
        std::fill(outPort_, outPort_ + frames, 0.0f);
        return;
    }
    retryDisposals();
    if (PreparedModel* restored = restored_.exchange(nullptr, std::memory_order_acq_rel))
        adopt(restored);
    applyControls();
    rendered_ = 0;

    if (notifyPort_ != nullptr) {
        lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<std::uint8_t*>(notifyPort_),
                                  notifyPort_->atom.size);
        lv2_atom_forge_sequence_head(&forge_, &notifyFrame_, 0);
    }
    if (modelPathPending_)
        sendModelPath();

    if (controlPort_ != nullptr) {
        LV2_ATOM_SEQUENCE_FOREACH(controlPort_, event) {
            const auto at =
                static_cast<std::uint32_t>(std::clamp<std::int64_t>(event->time.frames, 0, frames));
            renderUntil(at);
            if (event->body.type == uris_->midiEvent) {
                handleMidi(reinterpret_cast<const std::uint8_t*>(event + 1), event->body.size);
            } else if (event->body.type == uris_->atomObject) {
                handlePatch(reinterpret_cast<const LV2_Atom_Object*>(&event->body));
            }
        }
    }
    renderUntil(frames);
    if (notifyPort_ != nullptr)
        lv2_atom_forge_pop(&forge_, &notifyFrame_);
    Garbage retired;
    retired.set = bank_->takeRetiredSet().release();
    dispose(retired);
    reportRefusedKeys();
}

void LiveModelPlugin::renderUntil(std::uint32_t frame) noexcept {
    while (rendered_ < frame) {
        const std::size_t count =
            std::min<std::size_t>(frame - rendered_, voices::VoiceBank::kMaxBlockFrames);
        bank_->render(mix_.data(), count);
        float* out = outPort_ + rendered_;
        for (std::size_t f = 0; f < count; ++f) {
            const double value = mix_[f];
            if (!(std::fabs(value) <= kRunawayDisplacement)) { // also NaN
                bank_->silenceAll();
                std::fill(out + f, out + count, 0.0f);
                if (!runawayReported_) {
                    Job job;
                    job.kind = Job::Kind::runaway;
                    job.value = value;
                    runawayReported_ = schedule(job);
                }
                break;
            }
            out[f] = static_cast<float>(value * gain_);
        }
        rendered_ += static_cast<std::uint32_t>(count);
    }
}

void LiveModelPlugin::handleMidi(const std::uint8_t* message, std::uint32_t size) noexcept {
    if (size < 3)
        return;
    const int key = message[1] & 0x7F;
    const int value = message[2] & 0x7F;
    const auto slot = static_cast<std::size_t>(key);
    switch (lv2_midi_message_type(message)) {
    case LV2_MIDI_MSG_NOTE_ON:
        if (value > 0) {
            held_[slot] = true;
            sustained_[slot] = false;
            bank_->noteOn(key, value);
            break;
        }
        [[fallthrough]]; // velocity 0 is a note-off
    case LV2_MIDI_MSG_NOTE_OFF:
        held_[slot] = false;
        if (sustainPedal_)
            sustained_[slot] = true;
        else
            bank_->noteOff(key);
        break;
    case LV2_MIDI_MSG_CONTROLLER:
        if (key == LV2_MIDI_CTL_SUSTAIN) {
            sustainPedal_ = value >= 64;
            if (!sustainPedal_) {
                for (int k = 0; k < voices::kKeyCount; ++k)
                    if (sustained_[static_cast<std::size_t>(k)] && !held_[static_cast<std::size_t>(k)])
                        bank_->noteOff(k);
                sustained_.fill(false);
            }
        } else if (key == LV2_MIDI_CTL_ALL_NOTES_OFF || key == LV2_MIDI_CTL_ALL_SOUNDS_OFF) {
            if (key == LV2_MIDI_CTL_ALL_SOUNDS_OFF)
                bank_->silenceAll();
            else
                bank_->releaseAll();
            held_.fill(false);
            sustained_.fill(false);
        } else if (key == LV2_MIDI_CTL_RESET_CONTROLLERS) {
            sustainPedal_ = false;
        }
        break;
    default:
        break;
    }
}

void LiveModelPlugin::handlePatch(const LV2_Atom_Object* object) noexcept {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    // A property's value is read only where it lies whole inside the object,
    // whatever sizes the sender wrote.
    const auto* objectEnd =
        reinterpret_cast<const std::uint8_t*>(object) + sizeof(LV2_Atom) + object->atom.size;
    auto inside = [objectEnd](const LV2_Atom* atom, std::uint32_t atLeast) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(atom);
        return begin + sizeof(LV2_Atom) <= objectEnd && atom->size >= atLeast &&
               atom->size <= static_cast<std::size_t>(objectEnd - begin) - sizeof(LV2_Atom);
    };
    auto isModel = [&](const LV2_Atom* atom) {
        return atom != nullptr && inside(atom, sizeof(LV2_URID)) && atom->type == uris_->atomUrid &&
               reinterpret_cast<const LV2_Atom_URID*>(atom)->body == uris_->model;
    };
    if (object->body.otype == uris_->patchSet) {
        lv2_atom_object_get(object, uris_->patchProperty, &property, uris_->patchValue, &value, 0);
        if (!isModel(property) || value == nullptr || !inside(value, 1))
            return;
        if (value->type != uris_->atomPath && value->type != uris_->atomString)
            return;
        const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
        const std::uint32_t bytes = static_cast<std::uint32_t>(strnlen(path, value->size));
        Job job;
        job.kind = Job::Kind::loadFile;
        job.parameters = portParameters();
        job.fromAudioThread = true;
        if (bytes > 0 && bytes < kMaxPathBytes && schedule(job, path, bytes))
            requested_ = job.parameters;
    } else if (object->body.otype == uris_->patchGet) {
        lv2_atom_object_get(object, uris_->patchProperty, &property, 0);
        if (property == nullptr || isModel(property))
            sendModelPath();
    }
}

void LiveModelPlugin::sendModelPath() noexcept {
    modelPathPending_ = notifyPort_ == nullptr;
    if (notifyPort_ == nullptr)
        return;
    const std::string& path = adopted_->source.path;
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(&forge_, rendered_);
    lv2_atom_forge_object(&forge_, &frame, 0, uris_->patchSet);
    lv2_atom_forge_key(&forge_, uris_->patchProperty);
    lv2_atom_forge_urid(&forge_, uris_->model);
    lv2_atom_forge_key(&forge_, uris_->patchValue);
    lv2_atom_forge_path(&forge_, path.c_str(), static_cast<std::uint32_t>(path.size()));
    lv2_atom_forge_pop(&forge_, &frame);
}

bool LiveModelPlugin::schedule(const Job& job, const char* path, std::uint32_t pathBytes) noexcept {
    alignas(Job) std::uint8_t message[sizeof(Job) + kMaxPathBytes];
    Job header = job;
    header.pathBytes = pathBytes;
    std::memcpy(message, &header, sizeof header);
    if (pathBytes > 0)
        std::memcpy(message + sizeof header, path, pathBytes);
    if (schedule_->schedule_work(schedule_->handle, static_cast<std::uint32_t>(sizeof header + pathBytes),
                                 message) != LV2_WORKER_SUCCESS)
        return false;
    if (job.fromAudioThread)
        ++jobsInFlight_;
    return true;
}

void LiveModelPlugin::dispose(Garbage garbage) noexcept {
    if (garbage.empty())
        return;
    Job job;
    job.kind = Job::Kind::dispose;
    job.garbage = garbage;
    if (schedule(job))
        return;
    for (Garbage& waiting : undisposed_) {
        if (waiting.empty()) {
            waiting = garbage;
            return;
        }
    }
    // Sixteen hand-overs refused in a row: freeing here beats losing memory.
    garbage.free();
}

void LiveModelPlugin::retryDisposals() noexcept {
    for (Garbage& waiting : undisposed_) {
        if (waiting.empty())
            continue;
        Job job;
        job.kind = Job::Kind::dispose;
        job.garbage = waiting;
        if (!schedule(job))
            return;
        waiting = {};
    }
}

void LiveModelPlugin::reportRefusedKeys() noexcept {
    const std::vector<int>& refused = bank_->refusedKeys();
    for (; refusedReported_ < refused.size(); ++refusedReported_) {
        Job job;
        job.kind = Job::Kind::refusedKey;
        job.key = refused[refusedReported_];
        if (!schedule(job))
            return;
    }
}

void LiveModelPlugin::adopt(PreparedModel* prepared) noexcept {
    if (prepared->bank) {
        // Another count of helper threads: a bank of its own, made on the
        // worker; the notes of the old one stop here.
        Garbage garbage;
        garbage.bank = bank_.release();
        garbage.model = adopted_;
        bank_ = std::move(prepared->bank);
        bank_->setReleaseMs(appliedReleaseMs_ > 0.0f ? appliedReleaseMs_ : voices::Voice::kReleaseMs);
        dispose(garbage);
    } else {
        Garbage before;
        before.set = bank_->takeRetiredSet().release();
        bank_->replaceSet(std::move(prepared->voices));
        Garbage after;
        after.set = bank_->takeRetiredSet().release();
        after.model = adopted_;
        dispose(before);
        dispose(after);
    }
    adopted_ = prepared;
    requested_ = prepared->source.parameters;
    refusedReported_ = 0;
    runawayReported_ = false;
    modelPathPending_ = true;
}

void LiveModelPlugin::record(const PreparedModel& prepared) {
    std::lock_guard<std::mutex> lock(recordMutex_);
    record_ = prepared.source;
}

LV2_Worker_Status LiveModelPlugin::work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                                        std::uint32_t size, const void* data) {
    if (size < sizeof(Job))
        return LV2_WORKER_ERR_UNKNOWN;
    Job job;
    std::memcpy(&job, data, sizeof job);
    const std::string path(static_cast<const char*>(data) + sizeof job,
                           std::min<std::uint32_t>(job.pathBytes, size - sizeof job));
    switch (job.kind) {
    case Job::Kind::dispose:
        job.garbage.free();
        return LV2_WORKER_SUCCESS;
    case Job::Kind::refusedKey:
        lv2_log_warning(&logger_, "Kivora Model: key %d (%s) is too stiff for the rate and is not played\n",
                        job.key, voices::noteNameOfKey(job.key).c_str());
        return LV2_WORKER_SUCCESS;
    case Job::Kind::runaway:
        lv2_log_error(&logger_,
                      "Kivora Model: the voices ran away (a displacement of %g): muted; the next notes "
                      "play again\n",
                      job.value);
        return LV2_WORKER_SUCCESS;
    default:
        break;
    }
    Response response;
    response.fromAudioThread = job.fromAudioThread;
    try {
        std::unique_ptr<PreparedModel> prepared;
        if (job.kind == Job::Kind::loadFile) {
            prepared = prepareFile(path, job.parameters, sampleRate_);
        } else {
            ModelSource source;
            {
                std::lock_guard<std::mutex> lock(recordMutex_);
                source = record_;
            }
            prepared = prepareRetuned(source, job.parameters);
        }
        {
            std::lock_guard<std::mutex> lock(recordMutex_);
            if (prepared->source.parameters.helperThreads != record_.parameters.helperThreads)
                prepared->bank = makeBank(*prepared);
        }
        record(*prepared);
        response.prepared = prepared.release();
    } catch (const std::exception& failure) {
        lv2_log_error(&logger_, "Kivora Model: %s (the model in use plays on)\n", failure.what());
    }
    if (respond(handle, sizeof response, &response) != LV2_WORKER_SUCCESS) {
        delete response.prepared;
        return LV2_WORKER_ERR_NO_SPACE;
    }
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status LiveModelPlugin::workResponse(std::uint32_t size, const void* data) noexcept {
    if (size != sizeof(Response))
        return LV2_WORKER_ERR_UNKNOWN;
    Response response;
    std::memcpy(&response, data, sizeof response);
    if (response.fromAudioThread && jobsInFlight_ > 0)
        --jobsInFlight_;
    if (response.prepared != nullptr)
        adopt(response.prepared);
    return LV2_WORKER_SUCCESS;
}

LV2_State_Status LiveModelPlugin::save(LV2_State_Store_Function store, LV2_State_Handle handle) {
    ModelSource source;
    {
        std::lock_guard<std::mutex> lock(recordMutex_);
        source = record_;
    }
    const auto flags = static_cast<std::uint32_t>(LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    // The model's text itself, so the song sounds the same where the file is
    // not; its name labels the messages and answers a host's question.
    if (!source.text.empty()) {
        store(handle, uris_->modelText, source.text.c_str(), source.text.size() + 1, uris_->atomString,
              flags);
        store(handle, uris_->model, source.path.c_str(), source.path.size() + 1, uris_->atomString, flags);
    }
    store(handle, uris_->linear, &source.parameters.linearDamping, sizeof(double), uris_->atomDouble, flags);
    store(handle, uris_->square, &source.parameters.squareDamping, sizeof(double), uris_->atomDouble, flags);
    return LV2_STATE_SUCCESS;
}

LV2_State_Status LiveModelPlugin::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                          const LV2_Feature* const*) {
    std::size_t size = 0;
    std::uint32_t type = 0;
    std::uint32_t flags = 0;
    VoiceParameters parameters;
    {
        std::lock_guard<std::mutex> lock(recordMutex_);
        parameters = record_.parameters;
    }
    auto number = [&](LV2_URID key, double& into) {
        const void* value = retrieve(handle, key, &size, &type, &flags);
        if (value != nullptr && type == uris_->atomDouble && size == sizeof(double))
            std::memcpy(&into, value, sizeof(double));
    };
    number(uris_->linear, parameters.linearDamping);
    number(uris_->square, parameters.squareDamping);

    std::unique_ptr<std::string> text;
    std::string name = "the saved model";
    if (const void* value = retrieve(handle, uris_->modelText, &size, &type, &flags);
        value != nullptr && type == uris_->atomString)
        text = std::make_unique<std::string>(static_cast<const char*>(value),
                                             strnlen(static_cast<const char*>(value), size));
    if (const void* value = retrieve(handle, uris_->model, &size, &type, &flags);
        value != nullptr && (type == uris_->atomString || type == uris_->atomPath))
        name.assign(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size));

    // Thread-safe restore: the model is prepared here, on the host's thread,
    // and run() takes it between two blocks; a model restored earlier and
    // not taken yet is replaced.
    try {
        std::unique_ptr<PreparedModel> prepared =
            text ? prepareText(std::move(*text), name, parameters, sampleRate_)
                 : prepareBuiltIn(parameters, sampleRate_);
        record(*prepared);
        delete restored_.exchange(prepared.release(), std::memory_order_acq_rel);
    } catch (const std::exception& failure) {
        lv2_log_error(&logger_, "Kivora Model: %s (the model in use plays on)\n", failure.what());
        return LV2_STATE_ERR_UNKNOWN;
    }
    return LV2_STATE_SUCCESS;
}

LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char*,
                       const LV2_Feature* const* features) {
    try {
        auto plugin = std::make_unique<LiveModelPlugin>(sampleRate, features);
        return plugin->ready() ? plugin.release() : nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
}

LiveModelPlugin* self(LV2_Handle instance) {
    return static_cast<LiveModelPlugin*>(instance);
}

LV2_Worker_Status workOf(LV2_Handle instance, LV2_Worker_Respond_Function respond,
                         LV2_Worker_Respond_Handle handle, std::uint32_t size, const void* data) {
    return self(instance)->work(respond, handle, size, data);
}
LV2_Worker_Status workResponseOf(LV2_Handle instance, std::uint32_t size, const void* data) {
    return self(instance)->workResponse(size, data);
}
LV2_State_Status saveOf(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                        std::uint32_t, const LV2_Feature* const*) {
    return self(instance)->save(store, handle);
}
LV2_State_Status restoreOf(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                           std::uint32_t, const LV2_Feature* const* features) {
    return self(instance)->restore(retrieve, handle, features);
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {workOf, workResponseOf, nullptr};
    static const LV2_State_Interface state = {saveOf, restoreOf};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0)
        return &worker;
    if (std::strcmp(uri, LV2_STATE__interface) == 0)
        return &state;
    return nullptr;
}

const LV2_Descriptor kDescriptor = {
    kPluginUri,
    instantiate,
    [](LV2_Handle instance, std::uint32_t port, void* data) { self(instance)->connect(port, data); },
    nullptr,
    [](LV2_Handle instance, std::uint32_t frames) { self(instance)->run(frames); },
    nullptr,
    [](LV2_Handle instance) { delete self(instance); },
    extensionData,
};

} // namespace

} // namespace kivora::lv2

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &kivora::lv2::kDescriptor : nullptr;
}
