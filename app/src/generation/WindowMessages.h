// The window message a generation run's worker posts, as a Qt custom event:
// the type number is the message number the program has always used. The
// panes and the run talk through signals; only the worker's post to the
// interface thread stays a message.
#pragma once

#include <QEvent>

namespace kivora {

enum WindowMessage : int {
    WM_NOTE_DONE = 1912, // generation worker → the run on the interface thread (posted)
};

// Qt keeps user event numbers from QEvent::User (1000) on; ours lie within.
static_assert(int{WM_NOTE_DONE} > int{QEvent::User} && int{WM_NOTE_DONE} < int{QEvent::MaxUser});

constexpr QEvent::Type eventType(WindowMessage message) {
    return static_cast<QEvent::Type>(message);
}

} // namespace kivora
