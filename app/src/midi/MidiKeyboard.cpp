#include "midi/MidiKeyboard.h"

#include "session/InstrumentSession.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QEvent>
#include <QMenu>
#include <algorithm>
#include <utility>

namespace kivora {

namespace {

QEvent::Type wakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

MidiKeyboard::MidiKeyboard(InstrumentSession* instrument, QMenu* menu,
                           std::unique_ptr<MidiInputSource> source, QObject* parent)
    : QObject(parent), instrument_(instrument), menu_(menu) {
    wakeEventType(); // registered here, not first on the source's thread
    poll_.setInterval(kPollIntervalMs);
    connect(&poll_, &QTimer::timeout, this, &MidiKeyboard::refreshPorts);
    if (instrument_ != nullptr)
        connect(instrument_, &InstrumentSession::instrumentChanged, this, [this] {
            // The held notes went with the old instrument (or way of playing).
            heldAliases_.clear();
            if (connected_)
                layNotesOnKeys();
        });
    setSource(std::move(source));
}

MidiKeyboard::~MidiKeyboard() {
    if (source_)
        source_->closePort();
}

void MidiKeyboard::setSource(std::unique_ptr<MidiInputSource> source) {
    closeChosen();
    source_ = std::move(source);
    ports_.clear();
    if (source_ && source_->available()) {
        ports_ = source_->portNames();
        poll_.start();
        connectChosen();
    } else {
        poll_.stop();
    }
    rebuildMenu();
    emit portsChanged();
}

void MidiKeyboard::refreshPorts() {
    if (!source_ || !source_->available())
        return;
    std::vector<std::string> ports = source_->portNames();
    bool changed = ports != ports_;
    ports_ = std::move(ports);
    const bool chosenPresent = std::find(ports_.begin(), ports_.end(), chosen_) != ports_.end();
    if (connected_ && !chosenPresent) {
        closeChosen();
        changed = true;
    } else if (!connected_ && chosenPresent) {
        connectChosen();
        changed = true;
    }
    if (changed) {
        rebuildMenu();
        emit portsChanged();
    }
}

void MidiKeyboard::choosePort(const QString& name) {
    closeChosen();
    chosen_ = name.toStdString();
    connectChosen();
    rebuildMenu();
    emit portsChanged();
}

void MidiKeyboard::connectChosen() {
    if (chosen_.empty() || !source_ || std::find(ports_.begin(), ports_.end(), chosen_) == ports_.end())
        return;
    connected_ = source_->openPort(chosen_, [this](const MidiNoteEvent& note) { queueNote(note); });
    if (connected_)
        layNotesOnKeys();
}

void MidiKeyboard::layNotesOnKeys() {
    // An instrument's sounds are measured for their root keys when first
    // asked: here, rather than at the first note played.
    aliasForMidiKey(0);
}

void MidiKeyboard::closeChosen() {
    if (source_)
        source_->closePort();
    connected_ = false;
    // Notes of queued events and held keys would hang without their note-offs.
    playQueuedNotes();
    if (instrument_ != nullptr)
        for (const std::string& alias : std::exchange(heldAliases_, {}))
            instrument_->releaseSound(alias);
}

void MidiKeyboard::rebuildMenu() {
    if (menu_ == nullptr)
        return;
    menu_->clear();
    if (!source_ || !source_->available()) {
        menu_->addAction(tr("No MIDI system (ALSA sequencer not available)"))->setEnabled(false);
        return;
    }
    auto* group = new QActionGroup(menu_);
    group->setExclusive(true);
    auto add = [&](const QString& text, const QString& port) {
        QAction* action = menu_->addAction(text);
        action->setCheckable(true);
        action->setChecked(port.toStdString() == chosen_);
        action->setData(port);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, port] {
            if (port.toStdString() != chosen_)
                choosePort(port);
        });
        return action;
    };
    add(tr("&None"), QString());
    menu_->addSeparator();
    for (const std::string& port : ports_) {
        const QString name = QString::fromStdString(port);
        add(name, name);
    }
    if (!chosen_.empty() && !connected_) {
        // The chosen port is away: it stays chosen and reconnects when back.
        const QString name = QString::fromStdString(chosen_);
        QAction* waiting = add(tr("%1 (disconnected)").arg(name), name);
        waiting->setEnabled(false);
    }
}

std::string MidiKeyboard::aliasForMidiKey(int midiKey) {
    return instrument_ != nullptr ? instrument_->aliasForMidiKey(midiKey) : std::string();
}

void MidiKeyboard::queueNote(const MidiNoteEvent& note) {
    queue_.push(note);
    if (!wakePending_.exchange(true, std::memory_order_acq_rel))
        QCoreApplication::postEvent(this, new QEvent(wakeEventType()));
}

void MidiKeyboard::playQueuedNotes() {
    // Cleared before reading, in one read-modify-write: a plain store could
    // be ordered after the reads below, and a note queued in between would
    // find the flag still set, post nothing and wait for the next note.
    wakePending_.exchange(false, std::memory_order_acq_rel);
    while (const std::optional<MidiNoteEvent> note = queue_.pop()) {
        const std::string alias = aliasForMidiKey(note->key);
        if (alias.empty() || instrument_ == nullptr || !instrument_->isPlayable())
            continue;
        if (note->on && note->velocity > 0) {
            if (instrument_->pressSound(alias))
                heldAliases_.insert(alias);
        } else {
            instrument_->releaseSound(alias);
            heldAliases_.erase(alias);
        }
    }
}

bool MidiKeyboard::event(QEvent* event) {
    if (event->type() == wakeEventType()) {
        playQueuedNotes();
        return true;
    }
    return QObject::event(event);
}

} // namespace kivora
