// Dominant frequency of 16-bit PCM sound, measured with resonator banks: a
// coarse bank of 980 resonators over 40-2000 Hz finds the strongest peak of
// the summed response, and a fine bank of 401 resonators 0.01 Hz apart over
// +-2 Hz around it refines it. Only the first channel of each frame is used.
//
// Threads: the functions keep no state and may run on any thread, several at
// once. A long sound (above about three million resonator steps a pass) has
// each pass split across up to one std::thread per core, every thread
// stepping its own part of the bank; the calling thread takes a part too and
// returns only when all have ended, so no thread outlives the call. The
// result is bit for bit that of one thread. The file variant opens the file
// once more per extra thread, each with its own reader.
#pragma once

#include <ostrel/Export.h>
#include <ostrel/Oscillator.h>
#include <ostrel/WaveFormat.h>

#include <atomic>
#include <vector>

namespace ostrel {

// Dominant frequency in Hz (38 to 2000) of `frames` frames of 16-bit samples
// with nChannels samples per frame. The buffer and the record are only read.
// Any thread. Allocates the two banks and their peak lists (well under a
// megabyte) for the length of the call.
OSTREL_API double extractFrequency(WAVEFORMATEX& format, void* samples, unsigned frames);

// The same measurement, stoppable from another thread: every thread of a
// pass reads `stop` between blocks of 256 frames, and once it is non-zero
// the call returns -1.0 without finishing. Never stopped, it gives the
// result of the variant above bit for bit.
OSTREL_API double extractFrequency(WAVEFORMATEX& format, void* samples, unsigned frames,
                                   const std::atomic<int>& stop);

// The same measurement on a PCM WAV file; -1.0 when the file cannot be used.
// Any thread. Allocates the banks; the file is read twice in 5120-byte
// portions through a buffer on the stack, never whole.
OSTREL_API double extractFrequency(const char* path);

// The coarse bank's 980 resonators after one pass over the buffer, 40 Hz first.
// Any thread. Allocates the bank and the returned copy of it.
OSTREL_API std::vector<Oscill> extractFrequencySet(WAVEFORMATEX& format, void* samples, unsigned frames);

} // namespace ostrel
