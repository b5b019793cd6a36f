// The engine's saves and renderings replace their files through the shared base.
#pragma once

#include <kivora/base/ReplacingFile.h>

namespace pellamy::detail {

using kivora::base::removeStaleTemporaries;
using kivora::base::ReplacingFile;
using kivora::base::ReplacingFileSet;

} // namespace pellamy::detail
