// The program's private window messages as Qt custom events. The type numbers
// are the message numbers the panes have always used; events that carry data
// hold it for the time of the send only, as the messages did.
#pragma once

#include <pellamy/SoundStreamDescription.h>

#include <QEvent>
#include <cstdint>

namespace kivora {

enum WindowMessage : int {
    WM_GENERATE_NOTES = 1026,     // piano → main window (posted)
    WM_INSTRUMENT_READY = 1027,   // main frame → piano view: the run's records
    WM_GENERATE_SINGLE = 1028,    // piano → main window (posted)
    WM_PROGRESS_STEP = 1579,      // main frame → progress dialog
    WM_CANCEL_GENERATION = 1690,  // progress dialog → main frame
    WM_GENERATION_STARTED = 1801, // main frame → piano frame
    WM_NOTE_DONE = 1912,          // generation worker → main window (posted)
    WM_SHOW_WAVEFORM = 2024,      // main frame → oscillogram view: a WaveformInfo
    WM_SHOW_SPECTRUM = 2025,      // main frame → analyzer view: the run's records
};

// Qt keeps user event numbers from QEvent::User (1000) on; ours lie within.
static_assert(int{WM_GENERATE_NOTES} > int{QEvent::User} && int{WM_SHOW_SPECTRUM} < int{QEvent::MaxUser});

constexpr QEvent::Type eventType(WindowMessage message) {
    return static_cast<QEvent::Type>(message);
}

// A message without data (wParam and lParam 0).
class WindowMessageEvent : public QEvent {
public:
    explicit WindowMessageEvent(WindowMessage message) : QEvent(eventType(message)) {}
};

// The samples of one note as the oscillogram shows them: 16-bit mono values,
// valid only during the send.
struct WaveformInfo {
    std::int32_t sampleCount = 0;
    const std::int16_t* samples = nullptr;
    std::int32_t sampleRate = 0;
};

// WM_SHOW_WAVEFORM.
class ShowWaveformEvent : public QEvent {
public:
    explicit ShowWaveformEvent(const WaveformInfo& info) : QEvent(eventType(WM_SHOW_WAVEFORM)), info_(info) {}
    const WaveformInfo& info() const { return info_; }

private:
    WaveformInfo info_;
};

// WM_INSTRUMENT_READY and WM_SHOW_SPECTRUM: `count` records from `records` on
// (count may be 0 and records null). The records and their samples stay the
// sender's.
class SoundRecordsEvent : public QEvent {
public:
    SoundRecordsEvent(WindowMessage message, int count, const pellamy::SoundStreamDescription* records)
        : QEvent(eventType(message)), count_(count), records_(records) {}
    int count() const { return count_; }
    const pellamy::SoundStreamDescription* records() const { return records_; }

private:
    int count_;
    const pellamy::SoundStreamDescription* records_;
};

class InstrumentReadyEvent : public SoundRecordsEvent {
public:
    InstrumentReadyEvent(int count, const pellamy::SoundStreamDescription* records)
        : SoundRecordsEvent(WM_INSTRUMENT_READY, count, records) {}
};

class ShowSpectrumEvent : public SoundRecordsEvent {
public:
    ShowSpectrumEvent(int count, const pellamy::SoundStreamDescription* records)
        : SoundRecordsEvent(WM_SHOW_SPECTRUM, count, records) {}
};

} // namespace kivora
