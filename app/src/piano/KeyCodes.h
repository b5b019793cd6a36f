// Key events of the window as the engine's key codes: the platform's
// virtual-key numbers 0-255, letters and digits as their upper-case
// characters, the space bar 32.
#pragma once

#include <QKeyEvent>

namespace kivora {

// The key code of a Qt key and its modifiers, or -1 for a key the engine's
// tables have no number for. Letters, digits and space are their characters;
// the other keys take the Windows virtual-key numbers (VK_RETURN 13,
// VK_LEFT 37, VK_F1 112, VK_OEM_1 186, ...).
int keyCodeForQtKey(int qtKey, Qt::KeyboardModifiers modifiers = {});

// The US layout's key code at a native scan code of X11 or Wayland (the
// evdev code plus 8), or -1 when the position holds no character key. The
// rows of the piano follow positions, so QWERTZ and AZERTY play alike.
int keyCodeForScanCode(quint32 nativeScanCode);

// The key code of a key event: the physical position when the platform
// reports one, otherwise the key.
int keyCodeForEvent(const QKeyEvent& event);

// Whether a key press may play a note. Presses with Ctrl or Alt belong to
// shortcuts and menus (Ctrl+C is copy even while copying is disabled), and
// Tab moves the focus.
bool pressPlaysNote(const QKeyEvent& press);

} // namespace kivora
