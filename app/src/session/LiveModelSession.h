// The open model played live: each key starts a voice that simulates the
// model retuned to that key (kivora_voices), played through its own sound
// device. An edit of the model reaches the next note: the voices of the
// edited model are prepared on a worker and swapped in between two blocks.
//
// The keys are those of a generated instrument (1C, 1C#, ... bound to
// "Q2W3ER5T6Y7UZSXDCVGBHNJM") made of silent placeholder sounds: the engine's
// keyboard draws them, maps the keys and the mouse to them and records them
// as it does any instrument, while the voices make the sound. The instrument
// session routes the piano's and the MIDI keyboard's notes here while the
// mode is on.
//
// Interface thread only; the voices compute on their own threads.
#pragma once

#include "common/LatestRequestWorker.h"
#include "session/InstrumentSession.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace pellamy {
class InstrumentController;
class StreamOutput;
} // namespace pellamy

namespace kivora::voices {
class LiveVoices;
class VoiceModel;
} // namespace kivora::voices

namespace kivora {

class ModelSession;

class LiveModelSession : public QObject {
    Q_OBJECT
public:
    static constexpr int kStatusIntervalMs = 500;

    explicit LiveModelSession(ModelSession& model, QObject* parent = nullptr);
    // Closes the device before the voices go.
    ~LiveModelSession() override;

    void setDialogOwner(QWidget* owner) { dialogOwner_ = owner; }

    bool isOn() const { return live_ != nullptr; }
    // Prepares the voices of the model as it is now and the keyboard. A model
    // the generator refuses is refused with its message (false).
    bool start();
    // Opens the sound device (after the instrument released it). Without a
    // device the voices play on unheard, as said in the status bar.
    void openOutput();
    // Closes the device and drops the voices; a recording is not finished here.
    void stop();

    // The keyboard of placeholder sounds; null while off.
    pellamy::InstrumentController* keyboard() const { return keyboard_.get(); }

    // Notes by the keyboard's aliases; an alias that is no note name does nothing.
    void noteOn(const std::string& alias);
    void noteOff(const std::string& alias);
    void allNotesOff();

    // A note of the voice `alias` plays, rendered off-line for the model's
    // note length (kept until the model changes); empty while off.
    NoteSamples samplesOf(const std::string& alias);
    // Renders the melody script the keyboard recorded at `scriptPath`
    // through the voices into the WAV file beside it (its last four
    // characters replaced by ".wav"), as `kivora-cli render --model` does.
    // Throws std::runtime_error when the script or the file fails.
    void renderRecording(const QString& scriptPath) const;

    int voicesInUse() const;
    std::uint64_t lateBlocks() const;
    std::uint64_t blocksRendered() const;
    // "Live: N voices, M late blocks"; empty while off.
    QString statusText() const;

signals:
    // Twice a second while on, and once with an empty text when turned off.
    void liveStatus(const QString& text);
    void statusMessage(const QString& text);

private:
    void modelChanged();
    void adoptModel(std::shared_ptr<const voices::VoiceModel> model);
    void reportStatus();

    ModelSession& modelSession_;
    QPointer<QWidget> dialogOwner_;
    std::shared_ptr<const voices::VoiceModel> model_;
    std::unique_ptr<pellamy::InstrumentController> keyboard_;
    std::unique_ptr<voices::LiveVoices> live_;
    // After the voices it calls: closed first.
    std::unique_ptr<pellamy::StreamOutput> output_;
    std::map<int, NoteSamples> renderedNotes_;
    std::size_t refusedKeysReported_ = 0;
    QTimer statusTimer_;
    LatestRequestWorker<std::shared_ptr<const voices::VoiceModel>> preparer_;
};

} // namespace kivora
