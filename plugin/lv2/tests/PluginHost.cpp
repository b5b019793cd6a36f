#include "PluginHost.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <stdexcept>

namespace kivora::test {

namespace {

constexpr std::size_t kAtomBufferBytes = 1 << 16;

int printToLog(LV2_Log_Handle handle, LV2_URID, const char* format, va_list arguments) {
    char line[2048];
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    static_cast<std::vector<std::string>*>(handle)->emplace_back(line);
    return length;
}

int printfToLog(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = printToLog(handle, type, format, arguments);
    va_end(arguments);
    return length;
}

} // namespace

bool PluginHost::Queue::push(std::uint32_t size, const void* data) {
    if (used + sizeof size + size > bytes.size())
        return false;
    std::memcpy(bytes.data() + used, &size, sizeof size);
    std::memcpy(bytes.data() + used + sizeof size, data, size);
    used += sizeof size + size;
    return true;
}

PluginHost::PluginHost(double sampleRate)
    : sampleRate_(sampleRate), controlSequence_(kAtomBufferBytes / 8), notifySequence_(kAtomBufferBytes / 8),
      out_(8192) {
    uris_.emplace_back(); // URID 0 is no URI
    mapFeature_ = {this, [](LV2_URID_Map_Handle handle, const char* uri) {
                       return static_cast<PluginHost*>(handle)->map(uri);
                   }};
    unmapFeature_ = {this, [](LV2_URID_Unmap_Handle handle, LV2_URID id) -> const char* {
                         auto* host = static_cast<PluginHost*>(handle);
                         return id < host->uris_.size() ? host->uris_[id].c_str() : nullptr;
                     }};
    logFeature_ = {&log_, printfToLog, printToLog};
    scheduleFeature_ = {this, scheduleWork};
    features_[0] = {LV2_URID__map, &mapFeature_};
    features_[1] = {LV2_URID__unmap, &unmapFeature_};
    features_[2] = {LV2_LOG__log, &logFeature_};
    features_[3] = {LV2_WORKER__schedule, &scheduleFeature_};
    for (int f = 0; f < 4; ++f)
        featureList_[f] = &features_[f];
    featureList_[4] = nullptr;

    world_ = lilv_world_new();
    lilv_world_load_all(world_);
    LilvNode* uri = lilv_new_uri(world_, kPluginUri);
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
    lilv_node_free(uri);
    if (plugin_ == nullptr)
        throw std::runtime_error(std::string("no plugin ") + kPluginUri + " on LV2_PATH");
    instance_ = lilv_plugin_instantiate(plugin_, sampleRate, featureList_);
    if (instance_ == nullptr)
        throw std::runtime_error("the plugin refused to be instantiated");
    worker_ = static_cast<const LV2_Worker_Interface*>(
        lilv_instance_get_extension_data(instance_, LV2_WORKER__interface));

    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin_);
    controls_.assign(ports, 0.0f);
    std::vector<float> defaults(ports);
    lilv_plugin_get_port_ranges_float(plugin_, nullptr, nullptr, defaults.data());
    LilvNode* audio = lilv_new_uri(world_, LV2_CORE__AudioPort);
    LilvNode* atom = lilv_new_uri(world_, LV2_ATOM__AtomPort);
    LilvNode* input = lilv_new_uri(world_, LV2_CORE__InputPort);
    for (std::uint32_t p = 0; p < ports; ++p) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin_, p);
        if (lilv_port_is_a(plugin_, port, audio)) {
            outPort_ = p;
            lilv_instance_connect_port(instance_, p, out_.data());
        } else if (lilv_port_is_a(plugin_, port, atom)) {
            if (lilv_port_is_a(plugin_, port, input)) {
                controlPort_ = p;
                lilv_instance_connect_port(instance_, p, controlSequence_.data());
            } else {
                notifyPort_ = p;
                lilv_instance_connect_port(instance_, p, notifySequence_.data());
            }
        } else {
            controls_[p] = defaults[p];
            lilv_instance_connect_port(instance_, p, &controls_[p]);
        }
    }
    lilv_node_free(audio);
    lilv_node_free(atom);
    lilv_node_free(input);
    lilv_instance_activate(instance_);
}

PluginHost::~PluginHost() {
    if (instance_ != nullptr) {
        // What the plugin handed its worker last (retired voices) is freed.
        runWorkerJobs();
        deliverResponses();
        runWorkerJobs();
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }
    lilv_world_free(world_);
}

LV2_URID PluginHost::map(const char* uri) {
    const auto found = ids_.find(uri);
    if (found != ids_.end())
        return found->second;
    const auto id = static_cast<LV2_URID>(uris_.size());
    uris_.emplace_back(uri);
    ids_.emplace(uri, id);
    return id;
}

void PluginHost::setControl(const std::string& symbol, float value) {
    LilvNode* name = lilv_new_string(world_, symbol.c_str());
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, name);
    lilv_node_free(name);
    if (port == nullptr)
        throw std::runtime_error("no port " + symbol);
    controls_[lilv_port_get_index(plugin_, port)] = value;
}

float PluginHost::control(const std::string& symbol) const {
    LilvNode* name = lilv_new_string(world_, symbol.c_str());
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, name);
    lilv_node_free(name);
    if (port == nullptr)
        throw std::runtime_error("no port " + symbol);
    return controls_[lilv_port_get_index(plugin_, port)];
}

void PluginHost::midi(std::uint64_t frame, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    pending_.push_back({frame, {status, data1, data2}, map(LV2_MIDI__MidiEvent)});
}

// A patch message: an object of the given type with its properties.
void PluginHost::setModel(std::uint64_t frame, const std::string& path) {
    // Object body: otype, then (key, value atom) pairs, each padded to 8 bytes.
    std::vector<std::uint8_t> body(sizeof(LV2_Atom_Object_Body));
    auto put = [&body](const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        body.insert(body.end(), bytes, bytes + size);
        body.resize((body.size() + 7) & ~std::size_t{7});
    };
    const LV2_Atom_Object_Body head{0, map(LV2_PATCH__Set)};
    std::memcpy(body.data(), &head, sizeof head);
    const LV2_Atom_Property_Body property{
        map(LV2_PATCH__property), 0, {sizeof(LV2_URID), map(LV2_ATOM__URID)}};
    std::vector<std::uint8_t> propertyBytes(sizeof property + sizeof(LV2_URID));
    std::memcpy(propertyBytes.data(), &property, sizeof property);
    const LV2_URID model = map("urn:kivora:live-model#model");
    std::memcpy(propertyBytes.data() + sizeof property, &model, sizeof model);
    put(propertyBytes.data(), propertyBytes.size());
    const LV2_Atom_Property_Body value{
        map(LV2_PATCH__value), 0, {static_cast<std::uint32_t>(path.size() + 1), map(LV2_ATOM__Path)}};
    std::vector<std::uint8_t> valueBytes(sizeof value + path.size() + 1);
    std::memcpy(valueBytes.data(), &value, sizeof value);
    std::memcpy(valueBytes.data() + sizeof value, path.c_str(), path.size() + 1);
    put(valueBytes.data(), valueBytes.size());
    pending_.push_back({frame, std::move(body), map(LV2_ATOM__Object)});
}

void PluginHost::getModel(std::uint64_t frame) {
    std::vector<std::uint8_t> body(sizeof(LV2_Atom_Object_Body));
    const LV2_Atom_Object_Body head{0, map(LV2_PATCH__Get)};
    std::memcpy(body.data(), &head, sizeof head);
    pending_.push_back({frame, std::move(body), map(LV2_ATOM__Object)});
}

void PluginHost::prepareBlock(std::uint32_t frames) {
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(controlSequence_.data());
    sequence->atom.type = map(LV2_ATOM__Sequence);
    sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
    sequence->body.unit = 0;
    sequence->body.pad = 0;
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Event& a, const Event& b) { return a.frame < b.frame; });
    std::size_t sent = 0;
    for (const Event& event : pending_) {
        if (event.frame >= position_ + frames)
            break;
        LV2_Atom_Event header{};
        header.time.frames = static_cast<std::int64_t>(std::max(event.frame, position_) - position_);
        header.body = {static_cast<std::uint32_t>(event.body.size()), event.type};
        // Written through the buffer itself: the sequence's header type ends at its body.
        std::uint8_t* at = reinterpret_cast<std::uint8_t*>(controlSequence_.data()) + sizeof(LV2_Atom) +
                           lv2_atom_pad_size(sequence->atom.size);
        std::memcpy(at, &header, sizeof header);
        if (!event.body.empty())
            std::memcpy(at + sizeof header, event.body.data(), event.body.size());
        sequence->atom.size +=
            lv2_atom_pad_size(static_cast<std::uint32_t>(sizeof header + event.body.size()));
        ++sent;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
    auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(notifySequence_.data());
    notify->atom.type = map(LV2_ATOM__Chunk);
    notify->atom.size = kAtomBufferBytes - sizeof(LV2_Atom);
}

void PluginHost::runBlock(std::uint32_t frames) {
    lilv_instance_run(instance_, frames);
    position_ += frames;
}

const float* PluginHost::finishBlock() {
    const auto* notify = reinterpret_cast<const LV2_Atom_Sequence*>(notifySequence_.data());
    if (notify->atom.type != map(LV2_ATOM__Sequence))
        return out_.data();
    LV2_ATOM_SEQUENCE_FOREACH(notify, event) {
        if (event->body.type != map(LV2_ATOM__Object))
            continue;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype != map(LV2_PATCH__Set))
            continue;
        const LV2_Atom* value = nullptr;
        lv2_atom_object_get(object, map(LV2_PATCH__value), &value, 0);
        if (value != nullptr && value->type == map(LV2_ATOM__Path))
            announced_.emplace_back(static_cast<const char*>(LV2_ATOM_BODY_CONST(value)));
    }
    return out_.data();
}

std::vector<float> PluginHost::render(std::uint64_t frames, std::uint32_t blockFrames) {
    std::vector<float> output;
    output.reserve(frames);
    if (blockFrames > out_.size())
        throw std::runtime_error("blocks longer than the host's buffer");
    for (std::uint64_t done = 0; done < frames;) {
        const auto block = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockFrames, frames - done));
        prepareBlock(block);
        runBlock(block);
        const float* out = finishBlock();
        output.insert(output.end(), out, out + block);
        runWorkerJobs();
        deliverResponses();
        done += block;
    }
    return output;
}

LV2_Worker_Status PluginHost::scheduleWork(LV2_Worker_Schedule_Handle handle, std::uint32_t size,
                                           const void* data) {
    return static_cast<PluginHost*>(handle)->jobs_.push(size, data) ? LV2_WORKER_SUCCESS
                                                                    : LV2_WORKER_ERR_NO_SPACE;
}

LV2_Worker_Status PluginHost::respond(LV2_Worker_Respond_Handle handle, std::uint32_t size,
                                      const void* data) {
    return static_cast<PluginHost*>(handle)->responses_.push(size, data) ? LV2_WORKER_SUCCESS
                                                                         : LV2_WORKER_ERR_NO_SPACE;
}

void PluginHost::runWorkerJobs() {
    // A job may schedule another (a restore's, say): run until none is left.
    while (jobs_.used > 0) {
        std::vector<std::uint8_t> batch(jobs_.bytes.begin(),
                                        jobs_.bytes.begin() + static_cast<std::ptrdiff_t>(jobs_.used));
        jobs_.used = 0;
        for (std::size_t at = 0; at < batch.size();) {
            std::uint32_t size = 0;
            std::memcpy(&size, batch.data() + at, sizeof size);
            worker_->work(lilv_instance_get_handle(instance_), respond, this, size,
                          batch.data() + at + sizeof size);
            at += sizeof size + size;
        }
    }
}

void PluginHost::deliverResponses() {
    for (std::size_t at = 0; at < responses_.used;) {
        std::uint32_t size = 0;
        std::memcpy(&size, responses_.bytes.data() + at, sizeof size);
        worker_->work_response(lilv_instance_get_handle(instance_), size,
                               responses_.bytes.data() + at + sizeof size);
        at += sizeof size + size;
    }
    responses_.used = 0;
}

std::size_t PluginHost::countInLog(const std::string& part) const {
    return static_cast<std::size_t>(std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    }));
}

void PluginHost::saveState(const std::string& folder) {
    auto portValue = [](const char* symbol, void* self, std::uint32_t* size,
                        std::uint32_t* type) -> const void* {
        auto* host = static_cast<PluginHost*>(self);
        LilvNode* name = lilv_new_string(host->world_, symbol);
        const LilvPort* port = lilv_plugin_get_port_by_symbol(host->plugin_, name);
        lilv_node_free(name);
        if (port == nullptr) {
            *size = 0;
            return nullptr;
        }
        *size = sizeof(float);
        *type = host->map(LV2_ATOM__Float);
        return &host->controls_[lilv_port_get_index(host->plugin_, port)];
    };
    LilvState* state =
        lilv_state_new_from_instance(plugin_, instance_, &mapFeature_, nullptr, nullptr, nullptr,
                                     folder.c_str(), portValue, this, 0, featureList_);
    if (state == nullptr)
        throw std::runtime_error("no state from the instance");
    const int failed =
        lilv_state_save(world_, &mapFeature_, &unmapFeature_, state, nullptr, folder.c_str(), "state.ttl");
    lilv_state_free(state);
    if (failed != 0)
        throw std::runtime_error("the state could not be saved into " + folder);
}

void PluginHost::restoreState(const std::string& folder) {
    const std::string file = folder + "/state.ttl";
    LilvState* state = lilv_state_new_from_file(world_, &mapFeature_, nullptr, file.c_str());
    if (state == nullptr)
        throw std::runtime_error("no state in " + file);
    auto setPortValue = [](const char* symbol, void* self, const void* value, std::uint32_t size,
                           std::uint32_t) {
        auto* host = static_cast<PluginHost*>(self);
        if (size == sizeof(float)) {
            float number = 0.0f;
            std::memcpy(&number, value, sizeof number);
            host->setControl(symbol, number);
        }
    };
    lilv_state_restore(state, instance_, setPortValue, this, 0, featureList_);
    lilv_state_free(state);
    runWorkerJobs();
    deliverResponses();
}

} // namespace kivora::test
