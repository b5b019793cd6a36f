// A small LV2 host on lilv for the plugin's tests: finds the plugin by its
// URI on LV2_PATH, connects every port, sends MIDI and patch messages at
// their frames, runs the worker between blocks (as a host's worker thread
// would, one job after the other) and saves and restores state.
//
// run() and the worker's responses touch only memory reserved beforehand, so
// a test can watch them in a real-time scope.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kivora::test {

inline constexpr const char* kPluginUri = "urn:kivora:live-model";

class PluginHost {
public:
    // Loads the plugin at `sampleRate`; throws std::runtime_error when it
    // cannot be found or instantiated.
    explicit PluginHost(double sampleRate);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    const LilvPlugin* plugin() const { return plugin_; }
    LilvWorld* world() const { return world_; }
    double sampleRate() const { return sampleRate_; }

    void setControl(const std::string& symbol, float value);
    float control(const std::string& symbol) const;

    // Events at absolute frames from the host's start; sent with the block
    // holding their frame.
    void midi(std::uint64_t frame, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
    void noteOn(std::uint64_t frame, int key, int velocity = 127) { midi(frame, 0x90, key, velocity); }
    void noteOff(std::uint64_t frame, int key) { midi(frame, 0x80, key, 0); }
    void controller(std::uint64_t frame, int number, int value) { midi(frame, 0xB0, number, value); }
    void setModel(std::uint64_t frame, const std::string& path);
    // Any atom: its type and body as given.
    void event(std::uint64_t frame, LV2_URID type, std::vector<std::uint8_t> body) {
        pending_.push_back({frame, std::move(body), type});
    }
    void getModel(std::uint64_t frame);

    // Runs `frames` frames in blocks of `blockFrames` (the last may be
    // shorter), running the worker after each block, and returns the output.
    std::vector<float> render(std::uint64_t frames, std::uint32_t blockFrames = 256);
    // A block in three steps, so that a test can watch runBlock alone:
    // prepareBlock writes the block's events, runBlock runs the plugin,
    // finishBlock reads its notifications and returns its output.
    void prepareBlock(std::uint32_t frames);
    void runBlock(std::uint32_t frames);
    const float* finishBlock();
    // The worker's jobs, then their responses (work_response runs inside
    // `responses`, so a test can put a real-time scope around it).
    void runWorkerJobs();
    void deliverResponses();

    std::uint64_t position() const { return position_; }
    const std::vector<std::string>& log() const { return log_; }
    std::size_t countInLog(const std::string& part) const;
    // The paths the plugin announced with patch:Set on its notify port.
    const std::vector<std::string>& announcedModels() const { return announced_; }

    // Saves the state into `folder` (state.ttl) and restores one saved there.
    void saveState(const std::string& folder);
    void restoreState(const std::string& folder);

    LV2_URID map(const char* uri);

private:
    struct Event {
        std::uint64_t frame;
        std::vector<std::uint8_t> body;
        LV2_URID type;
    };
    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle handle, std::uint32_t size,
                                          const void* data);
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle handle, std::uint32_t size, const void* data);

    double sampleRate_;
    std::vector<std::string> uris_;
    std::map<std::string, LV2_URID> ids_;
    LV2_URID_Map mapFeature_;
    LV2_URID_Unmap unmapFeature_;
    LV2_Log_Log logFeature_;
    LV2_Worker_Schedule scheduleFeature_;
    LV2_Feature features_[4];
    const LV2_Feature* featureList_[5];

    LilvWorld* world_ = nullptr;
    const LilvPlugin* plugin_ = nullptr;
    LilvInstance* instance_ = nullptr;
    const LV2_Worker_Interface* worker_ = nullptr;

    std::vector<float> controls_;
    std::vector<std::uint64_t> controlSequence_; // 8-byte aligned atom buffers
    std::vector<std::uint64_t> notifySequence_;
    std::vector<float> out_;
    std::uint32_t controlPort_ = 0, notifyPort_ = 0, outPort_ = 0;
    std::vector<Event> pending_;
    std::uint64_t position_ = 0;

    // Reserved once: a job queue for the worker and one for its responses.
    struct Queue {
        std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1 << 20);
        std::size_t used = 0;
        bool push(std::uint32_t size, const void* data);
    };
    Queue jobs_, responses_;
    std::vector<std::string> log_;
    std::vector<std::string> announced_;
};

} // namespace kivora::test
