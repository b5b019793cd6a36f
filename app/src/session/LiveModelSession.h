// The open model played live, the player of its voices: each key starts a
// voice that simulates the model retuned to that key (kivora_voices),
// played through its own sound device. An edit of the model reaches the next
// note: the voices of the edited model are prepared on a worker and swapped
// in between two blocks.
//
// The on-screen keyboard shows the notes of a generated instrument (1C, 1C#,
// ... on the keys "Q2W3ER5T6Y7UZSXDCVGBHNJM"); a MIDI keyboard plays every
// key the model can play within the stability limit. A recording writes the
// notes played as a melody script and renders it through the voices.
//
// Interface thread only; the voices compute on their own threads.
#pragma once

#include "common/LatestRequestWorker.h"
#include "session/Player.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class QWidget;

namespace pellamy {
class KeyboardVisual;
class MelodyRecorder;
class StreamOutput;
} // namespace pellamy

namespace kivora::voices {
class LiveVoices;
class VoiceModel;
} // namespace kivora::voices

namespace kivora {

class ModelSession;

class LiveModelSession : public QObject, public Player {
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

    // ---- The player (Player.h); nothing plays while off.
    bool prepare() override { return start(); }
    void takeDevice() override { openOutput(); }
    void releaseDevice() override { stop(); }
    bool isPlayable() const override { return isOn(); }
    bool pressKey(unsigned code, std::string& started) override;
    void releaseKey(unsigned code) override;
    // Notes by the generator's names ("1C" is MIDI key 48); another name does nothing.
    bool pressNote(const std::string& alias) override;
    void releaseNote(const std::string& alias) override;
    // The key's note name when the model can play it, else "".
    std::string noteForMidiKey(int midiKey) override;
    bool isSounding(const std::string& alias) const override;
    std::vector<std::string> soundingNotes() const override;
    void mouseDown(int x, int y) override;
    void mouseMove(int x, int y) override;
    void mouseUp(int x, int y) override;
    void paint(pellamy::Canvas& canvas, const pellamy::Rect& rect, bool forceRedraw) override;
    pellamy::Rect activeArea() override;
    // Throws the recorder's failures (std::string) and the rendering's
    // (std::runtime_error).
    void startRecording(const std::string& scriptPath) override;
    void stopRecording() override;
    bool isRecording() const override;
    // A note of the voice `alias` plays, rendered off-line for the model's
    // note length (kept until the model changes); empty while off.
    NoteSamples samplesOf(const std::string& alias) override;
    std::string firstNote() const override;
    pellamy::ClipOutput* clipOutput() override;

    // Renders the melody script at `scriptPath` through the voices into the
    // WAV file beside it (its last four characters replaced by ".wav"), as
    // `kivora-cli render --model` does. Throws std::runtime_error when the
    // script or the file fails.
    void renderRecording(const std::string& scriptPath) const;

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
    // A note of MIDI key `key` goes on or off: the voices, the drawn key and the recording follow.
    void setNote(int key, bool on);

    ModelSession& modelSession_;
    QPointer<QWidget> dialogOwner_;
    std::shared_ptr<const voices::VoiceModel> model_;
    std::unique_ptr<voices::LiveVoices> live_;
    // After the voices it calls: closed first.
    std::unique_ptr<pellamy::StreamOutput> output_;
    std::unique_ptr<pellamy::KeyboardVisual> keyboard_;
    std::unique_ptr<pellamy::MelodyRecorder> recorder_;
    std::string scriptPath_;
    std::array<bool, 128> held_{};
    std::array<bool, 256> keyDown_{};
    int mouseKey_ = -1; // on-screen key index, -1: none
    std::map<int, NoteSamples> renderedNotes_;
    std::size_t refusedKeysReported_ = 0;
    QTimer statusTimer_;
    LatestRequestWorker<std::shared_ptr<const voices::VoiceModel>> preparer_;
};

} // namespace kivora
