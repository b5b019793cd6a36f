#include <kivora/exchange/MidiFile.h>
#include <pellamy/ErrorText.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace kivora::exchange {

namespace {

constexpr std::uint32_t kDefaultMicrosecondsPerQuarter = 500000;
// A file of more notes than this is not a melody but a hostile input.
constexpr std::size_t kMaxNotes = 1u << 22;

class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> bytes, std::string where)
        : bytes_(bytes), where_(std::move(where)) {}

    bool atEnd() const { return position_ >= bytes_.size(); }
    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }

    std::uint8_t byte() {
        need(1);
        return bytes_[position_++];
    }
    std::uint8_t peek() const {
        need(1);
        return bytes_[position_];
    }
    std::uint32_t big(int count) {
        need(static_cast<std::size_t>(count));
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 8) | bytes_[position_++];
        return value;
    }
    // At most four bytes of seven bits each.
    std::uint32_t variableLength() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t b = byte();
            value = (value << 7) | (b & 0x7Fu);
            if ((b & 0x80u) == 0)
                return value;
        }
        fail("a variable-length number longer than four bytes");
    }
    std::span<const std::uint8_t> take(std::size_t count) {
        need(count);
        const auto part = bytes_.subspan(position_, count);
        position_ += count;
        return part;
    }
    [[noreturn]] void fail(const std::string& what) const {
        throw MidiFileError("Not a readable MIDI file: " + what + " in " + where_ + " at byte " +
                            std::to_string(position_));
    }

private:
    void need(std::size_t count) const {
        if (remaining() < count)
            fail("unexpected end");
    }

    std::span<const std::uint8_t> bytes_;
    std::string where_;
    std::size_t position_ = 0;
};

struct TimedEvent {
    std::uint64_t tick = 0;
    int order = 0; // within the file, so events of one tick keep their order
    enum Kind { kNoteOn, kNoteOff, kTempo, kEnd } kind = kEnd;
    int channel = 0;
    int key = 0;
    int velocity = 0;
    std::uint32_t microsecondsPerQuarter = 0;
};

void readTrack(ByteReader& track, std::vector<TimedEvent>& events, int& order) {
    std::uint64_t tick = 0;
    std::uint8_t runningStatus = 0;
    while (!track.atEnd()) {
        tick += track.variableLength();
        std::uint8_t status = track.peek();
        if (status & 0x80u) {
            track.byte();
        } else if (runningStatus != 0) {
            status = runningStatus;
        } else {
            track.fail("a data byte without a status");
        }
        if (status == 0xFF) {
            const std::uint8_t type = track.byte();
            const std::uint32_t length = track.variableLength();
            const auto data = track.take(length);
            if (type == 0x51 && length == 3) {
                TimedEvent tempo{tick, order++, TimedEvent::kTempo};
                tempo.microsecondsPerQuarter =
                    (std::uint32_t{data[0]} << 16) | (std::uint32_t{data[1]} << 8) | data[2];
                if (tempo.microsecondsPerQuarter > 0)
                    events.push_back(tempo);
            } else if (type == 0x2F) {
                events.push_back({tick, order++, TimedEvent::kEnd});
                return;
            }
            continue;
        }
        if (status == 0xF0 || status == 0xF7) {
            track.take(track.variableLength());
            runningStatus = 0;
            continue;
        }
        if (status >= 0xF0) {
            track.fail("a system message inside a track");
        }
        runningStatus = status;
        const int kind = status >> 4;
        const int channel = status & 0x0F;
        const int dataBytes = kind == 0xC || kind == 0xD ? 1 : 2;
        const std::uint8_t first = track.byte();
        const std::uint8_t second = dataBytes == 2 ? track.byte() : 0;
        if ((first | second) & 0x80u)
            track.fail("a data byte above 127");
        if (kind == 0x9 && second > 0) {
            events.push_back({tick, order++, TimedEvent::kNoteOn, channel, first, second});
        } else if (kind == 0x8 || kind == 0x9) {
            events.push_back({tick, order++, TimedEvent::kNoteOff, channel, first, 0});
        }
        if (events.size() > 2 * kMaxNotes)
            track.fail("too many events");
    }
    events.push_back({tick, order++, TimedEvent::kEnd});
}

} // namespace

MidiSong parseMidi(std::span<const std::uint8_t> bytes) {
    ByteReader file(bytes, "the file");
    constexpr std::string_view kHeaderId = "MThd";
    const std::string_view start(reinterpret_cast<const char*>(bytes.data()),
                                 std::min(bytes.size(), kHeaderId.size()));
    if (bytes.empty())
        file.fail("the file is empty");
    if (start != kHeaderId.substr(0, start.size()))
        file.fail("no MThd header (it begins \"" + pellamy::printableText(start) + "\")");
    if (bytes.size() < 14)
        file.fail("the file ends inside its MThd header (" + std::to_string(bytes.size()) +
                  " bytes; the header takes 14)");
    file.big(4);
    const std::uint32_t headerLength = file.big(4);
    if (headerLength < 6)
        file.fail("a header shorter than six bytes");
    MidiSong song;
    song.format = static_cast<int>(file.big(2));
    const int declaredTracks = static_cast<int>(file.big(2));
    const std::uint32_t division = file.big(2);
    file.take(headerLength - 6);
    if (song.format == 2)
        throw MidiFileError("MIDI files of format 2 (independent sequences) are not supported");
    if (song.format > 2)
        file.fail("an unknown format " + std::to_string(song.format));
    if (division == 0)
        file.fail("a time division of zero");

    std::vector<TimedEvent> events;
    int order = 0;
    while (!file.atEnd() && song.trackCount < declaredTracks) {
        if (file.remaining() < 8)
            break; // trailing bytes after the last track
        const std::uint32_t id = file.big(4);
        const std::uint32_t length = file.big(4);
        if (length > file.remaining())
            file.fail("a chunk longer than the file");
        const auto body = file.take(length);
        if (id != 0x4D54726Bu) // "MTrk"; other chunks are skipped
            continue;
        ByteReader track(body, "track " + std::to_string(song.trackCount + 1));
        readTrack(track, events, order);
        ++song.trackCount;
    }
    if (song.trackCount == 0)
        file.fail("no track");

    std::stable_sort(events.begin(), events.end(), [](const TimedEvent& a, const TimedEvent& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });

    // Seconds per tick: from the tempo for a division in ticks per quarter
    // note, fixed for SMPTE frames (frames per second × ticks per frame).
    const bool smpte = (division & 0x8000u) != 0;
    double smpteSecondsPerTick = 0.0;
    if (smpte) {
        const int framesPerSecond = -static_cast<std::int8_t>(division >> 8);
        const int ticksPerFrame = static_cast<int>(division & 0xFFu);
        if (framesPerSecond <= 0 || ticksPerFrame == 0)
            file.fail("an SMPTE time division without frames or ticks");
        const double fps = framesPerSecond == 29 ? 30000.0 / 1001.0 : framesPerSecond;
        smpteSecondsPerTick = 1.0 / (fps * ticksPerFrame);
    }
    double secondsPerTick = smpte ? smpteSecondsPerTick : kDefaultMicrosecondsPerQuarter * 1e-6 / division;
    double seconds = 0.0;
    std::uint64_t lastTick = 0;

    std::map<std::pair<int, int>, std::deque<std::size_t>>
        sounding; // (channel, key) → open notes, oldest first
    for (const TimedEvent& event : events) {
        seconds += static_cast<double>(event.tick - lastTick) * secondsPerTick;
        lastTick = event.tick;
        switch (event.kind) {
        case TimedEvent::kTempo:
            if (!smpte)
                secondsPerTick = event.microsecondsPerQuarter * 1e-6 / division;
            break;
        case TimedEvent::kNoteOn:
            if (song.notes.size() >= kMaxNotes)
                throw MidiFileError("Not a readable MIDI file: more than " + std::to_string(kMaxNotes) +
                                    " notes");
            sounding[{event.channel, event.key}].push_back(song.notes.size());
            song.notes.push_back({seconds, -1.0, event.key, event.velocity, event.channel});
            break;
        case TimedEvent::kNoteOff: {
            auto open = sounding.find({event.channel, event.key});
            if (open != sounding.end() && !open->second.empty()) {
                MidiNote& note = song.notes[open->second.front()];
                note.durationSeconds = seconds - note.startSeconds;
                open->second.pop_front();
            }
            break;
        }
        case TimedEvent::kEnd:
            break;
        }
    }
    for (MidiNote& note : song.notes)
        if (note.durationSeconds < 0.0)
            note.durationSeconds = seconds - note.startSeconds;
    std::stable_sort(song.notes.begin(), song.notes.end(), [](const MidiNote& a, const MidiNote& b) {
        return a.startSeconds != b.startSeconds ? a.startSeconds < b.startSeconds : a.key < b.key;
    });
    return song;
}

MidiSong readMidiFile(const std::string& path) {
    // A folder opens as a stream on some systems and reads as nothing.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error)
        throw MidiFileError(pellamy::fileFailureText("Can't open MIDI file", path, error.message()));
    if (std::filesystem::is_directory(status))
        throw MidiFileError(
            pellamy::fileFailureText("Can't open MIDI file", path, pellamy::systemReason(EISDIR)));
    if (!std::filesystem::is_regular_file(status))
        throw MidiFileError(pellamy::fileFailureText("Can't open MIDI file", path, "not a regular file"));
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw MidiFileError(pellamy::fileFailureText("Can't open MIDI file", path,
                                                     pellamy::systemReason(errno != 0 ? errno : EIO)));
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (in.bad())
        throw MidiFileError(pellamy::fileFailureText("Can't read MIDI file", path,
                                                     pellamy::systemReason(errno != 0 ? errno : EIO)));
    try {
        return parseMidi(bytes);
    } catch (const MidiFileError& failure) {
        // The parser knows the bytes only: the message names the file.
        constexpr std::string_view kPrefix = "Not a readable MIDI file: ";
        const std::string_view text = failure.what();
        if (!text.starts_with(kPrefix))
            throw;
        throw MidiFileError(
            pellamy::fileFailureText("Not a readable MIDI file", path, text.substr(kPrefix.size())));
    }
}

} // namespace kivora::exchange
