// The whole window program: the instrument and model sessions and the main
// frame over them, built in one place for the program and its tests alike.
#pragma once

#include "midi/MidiInput.h"

#include <memory>

namespace kivora {

class CMainFrame;
class InstrumentSession;
class LiveModelSession;
class ModelSession;

struct MainWindowOptions {
    // Where the MIDI keyboard finds its ports: the system's when null.
    std::unique_ptr<MidiInputSource> midiSource;
};

class MainWindow {
public:
    MainWindow(std::unique_ptr<InstrumentSession> instrument, std::unique_ptr<ModelSession> model,
               std::unique_ptr<LiveModelSession> live, std::unique_ptr<CMainFrame> frame);
    // The frame goes first: its panes observe the sessions.
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    InstrumentSession& instrument() const { return *instrument_; }
    ModelSession& model() const { return *model_; }
    LiveModelSession& live() const { return *live_; }
    CMainFrame& frame() const { return *frame_; }

private:
    std::unique_ptr<InstrumentSession> instrument_;
    std::unique_ptr<ModelSession> model_;
    // Plays the model, which it observes: goes before it.
    std::unique_ptr<LiveModelSession> live_;
    std::unique_ptr<CMainFrame> frame_;
};

std::unique_ptr<MainWindow> buildMainWindow(MainWindowOptions options = {});

} // namespace kivora
