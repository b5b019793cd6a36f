#include <pellamy/MelodyScript.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace pellamy {

namespace {

// The line buffer: pieces of at most 1023 bytes.
constexpr int kLineBufferBytes = 1024;

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Up to `maxCount` blank-separated fields of a line, into `fields`.
std::size_t fieldsOf(std::string_view line, std::string_view* fields, std::size_t maxCount) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (count < maxCount) {
        while (i < line.size() && isBlank(line[i]))
            ++i;
        if (i == line.size())
            break;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i]))
            ++i;
        fields[count++] = line.substr(start, i - start);
    }
    return count;
}

// A whole field as a decimal number with '.' decimals, whatever the locale.
std::optional<double> numberOf(std::string_view field) {
    if (!field.empty() && field.front() == '+')
        field.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size())
        return std::nullopt;
    return value;
}

} // namespace

bool MelodyScriptReader::next(MelodyScriptLine& statement) {
    char buffer[kLineBufferBytes];
    for (;;) {
        errno = 0;
        if (std::fgets(buffer, sizeof buffer, script_) == nullptr)
            return false;
        ++lineNumber_;
        std::string_view line(buffer, std::strlen(buffer));
        // Editors may put a UTF-8 byte-order mark at the start of the file.
        if (lineNumber_ == 1 && line.starts_with(kUtf8ByteOrderMark))
            line.remove_prefix(kUtf8ByteOrderMark.size());
        if (inBlock_) {
            inBlock_ = !line.starts_with("!end");
            continue;
        }
        if (line.starts_with("\n") || line.starts_with("\r\n") || line.starts_with("--"))
            continue;
        statement.lineNumber = lineNumber_;
        statement.number.reset();
        statement.alias.clear();
        statement.flag.clear();
        std::string_view fields[3];
        if (line.starts_with("!begin")) {
            inBlock_ = true;
            statement.kind = MelodyScriptLine::Kind::definitionBlock;
        } else if (line.starts_with("!clear")) {
            statement.kind = MelodyScriptLine::Kind::clear;
        } else if (line.starts_with("!wait ")) {
            statement.kind = MelodyScriptLine::Kind::wait;
            if (fieldsOf(line, fields, 2) == 2)
                if (const std::optional<double> seconds = numberOf(fields[1]);
                    seconds && std::isfinite(*seconds) && *seconds >= 0)
                    statement.number = seconds;
        } else {
            statement.kind = MelodyScriptLine::Kind::play;
            const std::size_t count = fieldsOf(line, fields, 3);
            if (count == 3) {
                statement.number = numberOf(fields[2]);
                statement.alias = fields[0];
                statement.flag = fields[1];
            }
        }
        return true;
    }
}

PlayLength playLengthOf(std::string_view flag, double duration) {
    if (flag.starts_with('a')) {
        if (!std::isfinite(duration) || (duration < 0 && duration != -1))
            return PlayLength::faulty;
        return duration == -1 ? PlayLength::whole : PlayLength::seconds;
    }
    if (flag.starts_with('r'))
        return duration >= 0 && duration <= 1 ? PlayLength::portion : PlayLength::portionOutOfRange;
    return PlayLength::nothing;
}

std::string scriptSyntaxErrorText(std::uint32_t lineNumber) {
    return "Incorrect syntax at line:" + std::to_string(lineNumber) + ", need to be : alias flag duration";
}

} // namespace pellamy
