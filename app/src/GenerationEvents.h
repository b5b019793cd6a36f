// The events of a generation run, numbered as the program's window messages.
#pragma once

#include <QEvent>

namespace kivora::app {

inline constexpr QEvent::Type kProgressStepEvent = static_cast<QEvent::Type>(1579);
inline constexpr QEvent::Type kCancelGenerationEvent = static_cast<QEvent::Type>(1690);
inline constexpr QEvent::Type kNoteDoneEvent = static_cast<QEvent::Type>(1912);

} // namespace kivora::app
