// A tool's own temporary file beside the files it saves: the shared base's.
#pragma once

#include <kivora/base/ReplacingFile.h>

namespace pellamy {

using kivora::base::TemporaryFile;

} // namespace pellamy
