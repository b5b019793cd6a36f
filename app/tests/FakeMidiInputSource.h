// A MIDI input source for tests and benchmarks: ports that come and go at
// the test's word, and notes sent as the source's own thread would send them.
#pragma once

#include "midi/MidiInput.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kivora::test {

// What the fake shows, shared between the test and the source it gave away.
struct FakeMidiPorts {
    bool available = true;
    std::vector<std::string> ports;
    std::string openPort; // empty: none open
    int opens = 0;
    MidiInputSource::NoteHandler handler;

    // A note-on (or note-off) message on the calling thread, decoded as a
    // port decodes it (only while open): a note-on of velocity 0 is an off.
    void send(std::uint8_t key, std::uint8_t velocity, bool on = true, std::uint8_t channel = 0) const {
        const unsigned char message[] = {static_cast<unsigned char>((on ? 0x90 : 0x80) | channel), key,
                                         velocity};
        if (const std::optional<MidiNoteEvent> note = decodeNoteMessage(message, 3); note && handler)
            handler(*note);
    }
    // Notes from a thread of their own, which has ended when this returns.
    void sendFromThread(const std::vector<MidiNoteEvent>& notes) const {
        std::thread sender([&] {
            for (const MidiNoteEvent& note : notes)
                if (handler)
                    handler(note);
        });
        sender.join();
    }
    void unplug(const std::string& name) {
        ports.erase(std::remove(ports.begin(), ports.end(), name), ports.end());
        if (openPort == name) { // the device went: no more notes
            openPort.clear();
            handler = nullptr;
        }
    }
};

class FakeMidiInputSource final : public MidiInputSource {
public:
    explicit FakeMidiInputSource(std::shared_ptr<FakeMidiPorts> ports) : ports_(std::move(ports)) {}
    ~FakeMidiInputSource() override { closePort(); }

    bool available() const override { return ports_->available; }
    std::vector<std::string> portNames() override { return ports_->ports; }
    bool openPort(const std::string& name, NoteHandler handler) override {
        closePort();
        if (!ports_->available ||
            std::find(ports_->ports.begin(), ports_->ports.end(), name) == ports_->ports.end())
            return false;
        ports_->openPort = name;
        ports_->handler = std::move(handler);
        ++ports_->opens;
        return true;
    }
    void closePort() override {
        ports_->openPort.clear();
        ports_->handler = nullptr;
    }

private:
    std::shared_ptr<FakeMidiPorts> ports_;
};

} // namespace kivora::test
