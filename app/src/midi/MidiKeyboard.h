// The window's live MIDI keyboard: the "MIDI Input" menu of the source's
// ports, the chosen port reconnected by name when it returns, and its notes
// played on the session's player as presses and releases of the note the
// player lays on their MIDI key: an instrument's sound whose root key they
// hit, as its key would play it (also a sound without a key), or live every
// key the model can play.
#pragma once

#include "midi/MidiInput.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QMenu;

namespace kivora {

class InstrumentSession;

// Interface thread only, but for the source's handler, which queues the note
// and posts one wake-up event per batch (the only allocation on that thread).
class MidiKeyboard : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollIntervalMs = 1000;

    // Fills `menu` and starts polling the ports when the source is available.
    MidiKeyboard(InstrumentSession* instrument, QMenu* menu, std::unique_ptr<MidiInputSource> source,
                 QObject* parent = nullptr);
    ~MidiKeyboard() override;

    // Closes the port of the current source and starts over with `source`.
    void setSource(std::unique_ptr<MidiInputSource> source);
    // The poll: notices ports that came and went, drops the chosen port when
    // it went and opens it again when it is back.
    void refreshPorts();
    // Chooses the port (the empty string: none) and connects to it if present.
    void choosePort(const QString& name);

    QString chosenPort() const { return QString::fromStdString(chosen_); }
    bool isConnected() const { return connected_; }
    QTimer& pollTimer() { return poll_; }
    // The note a note on `midiKey` plays, or "" when none.
    std::string aliasForMidiKey(int midiKey);
    std::uint64_t droppedNotes() const { return queue_.droppedCount(); }

signals:
    // The ports, the choice or the connection changed (after the menu).
    void portsChanged();

protected:
    bool event(QEvent* event) override;

private:
    void queueNote(const MidiNoteEvent& note); // the source's thread
    void playQueuedNotes();
    void connectChosen();
    void closeChosen();
    void rebuildMenu();
    void layNotesOnKeys();

    QPointer<InstrumentSession> instrument_;
    QPointer<QMenu> menu_;
    QTimer poll_;
    MidiEventQueue queue_;
    std::atomic<bool> wakePending_{false};
    // After the queue it fills, so that it closes first.
    std::unique_ptr<MidiInputSource> source_;
    std::vector<std::string> ports_;
    std::string chosen_;
    bool connected_ = false;
    std::set<std::string> heldAliases_;
};

} // namespace kivora
