// The words of a failed system call.
#pragma once

#include <kivora/base/Export.h>

#include <string>

namespace kivora::base {

// The system's words for an errno value ("Permission denied"). Any thread.
KIVORA_BASE_API std::string systemReason(int errorNumber);

} // namespace kivora::base
