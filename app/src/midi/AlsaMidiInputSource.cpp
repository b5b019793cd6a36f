// The only file that sees RtMidi: live MIDI input from the ALSA sequencer.
#include "midi/MidiInput.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <cstdarg>

namespace kivora {

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Whether the sequencer opens, asked with ALSA's own messages silenced:
// RtMidi's constructor would print them (and its own) before any error
// callback can be set.
bool sequencerOpens() {
    snd_lib_error_set_handler(&ignoreAlsaError);
    snd_seq_t* sequencer = nullptr;
    const bool opened = snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) == 0;
    if (opened)
        snd_seq_close(sequencer);
    snd_lib_error_set_handler(nullptr);
    return opened;
}

class AlsaMidiInputSource final : public MidiInputSource {
public:
    AlsaMidiInputSource() {
        if (!sequencerOpens())
            return;
        try {
            input_ = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, "Kivora");
            // From here on RtMidi reports through the callback: no throw, no print.
            input_->setErrorCallback(&AlsaMidiInputSource::onError, this);
            input_->ignoreTypes(true, true, true);
        } catch (const RtMidiError&) {
            input_.reset();
        }
    }

    ~AlsaMidiInputSource() override { closePort(); }

    bool available() const override { return input_ != nullptr; }

    std::vector<std::string> portNames() override {
        std::vector<std::string> names;
        if (!input_)
            return names;
        const unsigned count = input_->getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            const std::string name = input_->getPortName(i);
            if (!name.empty()) // empty: the port went away meanwhile
                names.push_back(portNameWithoutAddress(name));
        }
        return names;
    }

    bool openPort(const std::string& name, NoteHandler handler) override {
        closePort();
        if (!input_)
            return false;
        const unsigned count = input_->getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            if (portNameWithoutAddress(input_->getPortName(i)) != name)
                continue;
            handler_ = std::move(handler);
            failed_ = false;
            input_->setCallback(&AlsaMidiInputSource::onMessage, this);
            input_->openPort(i, "Kivora MIDI Input");
            if (failed_ || !input_->isPortOpen()) {
                closePort();
                return false;
            }
            return true;
        }
        return false;
    }

    void closePort() override {
        if (!input_)
            return;
        if (input_->isPortOpen())
            input_->closePort(); // joins RtMidi's input thread
        if (handler_) {
            input_->cancelCallback();
            handler_ = nullptr;
        }
    }

private:
    // RtMidi's input thread.
    static void onMessage(double, std::vector<unsigned char>* message, void* self) {
        if (message == nullptr)
            return;
        if (const std::optional<MidiNoteEvent> note = decodeNoteMessage(message->data(), message->size()))
            static_cast<AlsaMidiInputSource*>(self)->handler_(*note);
    }

    static void onError(RtMidiError::Type type, const std::string&, void* self) {
        if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
            static_cast<AlsaMidiInputSource*>(self)->failed_ = true;
    }

    std::unique_ptr<RtMidiIn> input_;
    NoteHandler handler_;
    bool failed_ = false;
};

} // namespace

std::unique_ptr<MidiInputSource> makeAlsaMidiInputSource() {
    return std::make_unique<AlsaMidiInputSource>();
}

} // namespace kivora
