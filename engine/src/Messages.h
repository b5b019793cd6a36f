// Texts the engine throws, shared by the readers that report the same fault.
#pragma once

namespace pellamy::messages {

inline constexpr const char* kDuplicateAlias =
    "Error occured:\n probably you have 2 same aliases in an instrument definition or you are trying to load "
    "instrument file, while having instrument definition in \"snc\" file";

} // namespace pellamy::messages

namespace pellamy::messages {

// A save or a rendering whose stop request was seen: nothing was replaced.
inline constexpr const char* kSaveStopped = "Saving stopped: nothing saved";
inline constexpr const char* kRenderStopped = "Rendering stopped: nothing written";

} // namespace pellamy::messages
