#include "window/MainWindow.h"

#include "session/InstrumentSession.h"
#include "session/LiveModelSession.h"
#include "session/ModelSession.h"
#include "window/CMainFrame.h"

namespace kivora {

MainWindow::MainWindow(std::unique_ptr<InstrumentSession> instrument, std::unique_ptr<ModelSession> model,
                       std::unique_ptr<LiveModelSession> live, std::unique_ptr<CMainFrame> frame)
    : instrument_(std::move(instrument)), model_(std::move(model)), live_(std::move(live)),
      frame_(std::move(frame)) {}

MainWindow::~MainWindow() {
    frame_.reset();
}

std::unique_ptr<MainWindow> buildMainWindow(MainWindowOptions options) {
    auto instrument = std::make_unique<InstrumentSession>();
    auto model = std::make_unique<ModelSession>();
    auto live = std::make_unique<LiveModelSession>(*model);
    // The keys, the mouse and MIDI play the live player while the mode is on.
    instrument->setLivePlayer(live.get());
    std::unique_ptr<MidiInputSource> midiSource = std::move(options.midiSource);
#if KIVORA_WITH_MIDI
    if (midiSource == nullptr)
        midiSource = makeAlsaMidiInputSource();
#endif
    auto frame = std::make_unique<CMainFrame>(*instrument, *model, std::move(midiSource));
    frame->followLive(*live);
    instrument->setDialogOwner(frame.get());
    model->setDialogOwner(frame.get());
    live->setDialogOwner(frame.get());
    return std::make_unique<MainWindow>(std::move(instrument), std::move(model), std::move(live),
                                        std::move(frame));
}

} // namespace kivora
