// Live MIDI input without Qt: the note messages of a MIDI keyboard, the
// source that delivers them (the ALSA sequencer through RtMidi, or a test's
// fake) and the queue that carries them from the source's thread to the
// interface thread.
#pragma once

#include <kivora/base/SpscQueue.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivora {

struct MidiNoteEvent {
    std::uint8_t channel = 0; // 0..15
    std::uint8_t key = 60;    // 0..127
    std::uint8_t velocity = 0;
    bool on = false; // a note-on with velocity 0 is an "off"
};

// The note-on or note-off in a channel message's bytes; nothing for any
// other message or a short one. Any thread; allocates nothing.
std::optional<MidiNoteEvent> decodeNoteMessage(const unsigned char* bytes, std::size_t size);

// A port name without the trailing "client:port" numbers the ALSA sequencer
// appends ("USB Keys:USB Keys MIDI 1 24:0" → "USB Keys:USB Keys MIDI 1"):
// the numbers may change when a device is plugged in again, the name does not.
std::string portNameWithoutAddress(const std::string& name);

// Where live MIDI notes come from. Every member is called from one thread
// (the interface thread); the handler given to openPort runs on the
// source's own thread until closePort returns.
class MidiInputSource {
public:
    using NoteHandler = std::function<void(const MidiNoteEvent&)>;

    virtual ~MidiInputSource() = default;

    // False when there is no MIDI system at all; then there are no ports.
    virtual bool available() const = 0;
    // The input ports there are now, each by a name that stays the same
    // when its device returns.
    virtual std::vector<std::string> portNames() = 0;
    // Closes the open port, then opens the port called `name` and delivers
    // its notes to `handler`. False when there is no such port or it fails.
    virtual bool openPort(const std::string& name, NoteHandler handler) = 0;
    // Stops delivering; no handler call runs after it returns.
    virtual void closePort() = 0;
};

// The ALSA sequencer through RtMidi. Without a sequencer (no /dev/snd/seq)
// it is not available; it never writes to stderr.
std::unique_ptr<MidiInputSource> makeAlsaMidiInputSource();

// Notes from one producer thread (the source's) to one consumer thread (the
// interface thread) through the engine's queue: lock-free, allocating only
// when constructed; when full, new notes are dropped and counted.
class MidiEventQueue {
public:
    static constexpr std::size_t kCapacity = 256;

    // Producer thread only. False when the queue was full.
    bool push(const MidiNoteEvent& event);
    // Consumer thread only.
    std::optional<MidiNoteEvent> pop();
    std::uint64_t droppedCount() const { return dropped_.load(std::memory_order_relaxed); }

private:
    kivora::base::SpscQueue<MidiNoteEvent> events_{kCapacity};
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace kivora
