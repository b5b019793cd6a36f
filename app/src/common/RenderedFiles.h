// The WAV files the program rendered beside a melody (a script played or
// recorded, a MIDI file played), kept in the program's settings: playing the
// same melody again may replace its own rendering without asking, but never
// a file it did not write or one changed since.
#pragma once

#include <QString>

namespace kivora {

// At most this many renderings are remembered, the newest.
inline constexpr int kRenderingsRemembered = 64;

// Whether wavPath is, unchanged, the rendering of sourcePath last written there.
bool isRenderingOf(const QString& wavPath, const QString& sourcePath);
// Remembers wavPath, as it is now, as the rendering of sourcePath.
void rememberRendering(const QString& wavPath, const QString& sourcePath);

// Whether a new file can be created in `folder` (tried, not guessed from the
// permissions, which a read-only file system or the super-user overrule).
bool folderTakesFiles(const QString& folder);

} // namespace kivora
