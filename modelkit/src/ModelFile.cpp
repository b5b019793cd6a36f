#include <modelkit/ModelFile.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace InstrumentKit {

namespace {

using Json = nlohmann::json;

std::string joinMessage(const std::string& sourceName, const std::string& place, const std::string& reason) {
    std::string message = sourceName;
    if (!place.empty())
        message += (message.empty() ? "" : ": ") + place;
    message += (message.empty() ? "" : ": ") + reason;
    return message;
}

// Messages are one line whatever the input held.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return text;
}

// A string as it would stand in the file, quotes and escapes included; never throws.
std::string jsonQuoted(const std::string& text) {
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool isPlainKey(const std::string& key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

std::string memberPlace(const std::string& place, const std::string& key) {
    if (!isPlainKey(key))
        return place + "[" + jsonQuoted(key) + "]";
    return place.empty() ? key : place + "." + key;
}

std::string indexPlace(const std::string& place, std::size_t index) {
    return place + "[" + std::to_string(index) + "]";
}

// ---------------------------------------------------------------------------
// Parsing: nlohmann-json builds the document while a callback follows where the
// parser is, refuses nesting beyond kMaxModelNestingDepth before the deep value
// exists, and refuses repeated keys (which the library would silently merge).

struct ParseRefusal {
    std::string place;
    std::string reason;
};

class ParseTracker {
public:
    bool onEvent(Json::parse_event_t event, const Json& parsed) {
        switch (event) {
        case Json::parse_event_t::object_start:
        case Json::parse_event_t::array_start:
            enterValue();
            if (frames_.size() >= static_cast<std::size_t>(kMaxModelNestingDepth))
                throw ParseRefusal{currentPlace(),
                                   "nested deeper than " + std::to_string(kMaxModelNestingDepth) + " levels"};
            frames_.push_back(Frame{event == Json::parse_event_t::array_start, 0, false, {}, {}});
            break;
        case Json::parse_event_t::object_end:
        case Json::parse_event_t::array_end:
            if (!frames_.empty())
                frames_.pop_back();
            break;
        case Json::parse_event_t::key: {
            Frame& frame = frames_.back();
            frame.key = parsed.get<std::string>();
            if (!frame.keys.insert(frame.key).second)
                throw ParseRefusal{currentPlace(), "repeated key"};
            break;
        }
        case Json::parse_event_t::value:
            enterValue();
            break;
        }
        return true;
    }

    // The place of the value the parser reads next.
    std::string pendingPlace() const {
        if (frames_.empty() || !frames_.back().isArray)
            return currentPlace();
        const Frame& array = frames_.back();
        return indexPlace(placeOfFrames(frames_.size() - 1), array.started ? array.index + 1 : 0);
    }

private:
    struct Frame {
        bool isArray;
        std::size_t index; // of the element being read, when started
        bool started;      // an element has begun
        std::string key;   // of the member being read
        std::set<std::string> keys;
    };

    void enterValue() {
        if (frames_.empty() || !frames_.back().isArray)
            return;
        Frame& frame = frames_.back();
        if (frame.started)
            ++frame.index;
        frame.started = true;
    }

    std::string placeOfFrames(std::size_t count) const {
        std::string place;
        for (std::size_t i = 0; i < count; ++i)
            place =
                frames_[i].isArray ? indexPlace(place, frames_[i].index) : memberPlace(place, frames_[i].key);
        return place;
    }

    std::string currentPlace() const { return placeOfFrames(frames_.size()); }

    std::vector<Frame> frames_;
};

std::string textPosition(std::string_view text, std::size_t byte) {
    std::size_t end = std::min(byte == 0 ? 0 : byte - 1, text.size());
    std::size_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < end; ++i)
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    return "line " + std::to_string(line) + ", column " + std::to_string(end - lineStart + 1);
}

// The library's message without its "[json.exception...] parse error at ...:"
// head. It may quote raw input bytes; anything beyond ASCII becomes '?' so the
// message stays valid text.
std::string libraryReason(const std::string& what) {
    std::size_t start = 0;
    if (std::size_t column = what.find("column "); column != std::string::npos) {
        if (std::size_t colon = what.find(": ", column); colon != std::string::npos)
            start = colon + 2;
    } else if (std::size_t bracket = what.find("] "); bracket != std::string::npos) {
        start = bracket + 2;
    }
    std::string reason = oneLine(what.substr(start));
    for (char& c : reason)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return reason;
}

Json parseDocument(std::string_view text, const std::string& sourceName) {
    ParseTracker tracker;
    try {
        return Json::parse(text.begin(), text.end(),
                           [&tracker](int, Json::parse_event_t event, Json& parsed) {
                               return tracker.onEvent(event, parsed);
                           });
    } catch (const ParseRefusal& refusal) {
        throw ModelFileError(sourceName, refusal.place, refusal.reason);
    } catch (const Json::parse_error& error) {
        throw ModelFileError(sourceName, textPosition(text, error.byte), libraryReason(error.what()));
    } catch (const Json::exception& error) {
        // A number too large for a double ("number overflow parsing '1e999'").
        throw ModelFileError(sourceName, tracker.pendingPlace(), libraryReason(error.what()));
    }
}

// ---------------------------------------------------------------------------
// Reading the document into a representation.

class ModelReader {
public:
    explicit ModelReader(std::string sourceName) : sourceName_(std::move(sourceName)) {}

    Representation read(const Json& document) {
        if (!document.is_object())
            fail("", "expected an object with \"kivora_model\" at the top");
        // The version first: a newer file may well have keys this reader does not know.
        readVersion(document);
        checkKeys(document, "", {"kivora_model", "flag", "elements"});

        std::vector<PendingElement> elements;
        if (auto found = document.find("elements"); found != document.end()) {
            requireArray(*found, "elements");
            for (std::size_t e = 0; e < found->size(); ++e)
                elements.push_back(readElement((*found)[e], indexPlace("elements", e)));
        }
        for (const PendingElement& element : elements)
            resolveLinks(element);
        readFlag(document);
        return std::move(model_);
    }

private:
    struct PendingElement {
        std::string place;
        const Json* json;
        std::size_t index;
    };

    [[noreturn]] void fail(const std::string& place, const std::string& reason) const {
        throw ModelFileError(sourceName_, place, reason);
    }

    void checkKeys(const Json& object, const std::string& place,
                   std::initializer_list<const char*> allowed) const {
        for (const auto& member : object.items())
            if (std::none_of(allowed.begin(), allowed.end(),
                             [&](const char* key) { return member.key() == key; }))
                fail(memberPlace(place, member.key()), "unknown key");
    }

    void requireArray(const Json& value, const std::string& place) const {
        if (!value.is_array())
            fail(place, "expected an array");
    }

    void requireObject(const Json& value, const std::string& place) const {
        if (!value.is_object())
            fail(place, "expected an object");
    }

    const Json* member(const Json& object, const char* key) const {
        auto found = object.find(key);
        return found == object.end() ? nullptr : &*found;
    }

    const Json& required(const Json& object, const std::string& place, const char* key) const {
        const Json* value = member(object, key);
        if (value == nullptr)
            fail(memberPlace(place, key), "missing");
        return *value;
    }

    double readNumber(const Json& value, const std::string& place) const {
        if (!value.is_number())
            fail(place, "expected a number");
        // Integers of any size convert to the nearest double; the parser has
        // already refused floating-point numbers beyond the double range.
        double number = value.is_number_float()      ? value.get<double>()
                        : value.is_number_unsigned() ? static_cast<double>(value.get<std::uint64_t>())
                                                     : static_cast<double>(value.get<std::int64_t>());
        if (const char* refusal = numberRefusal(number))
            fail(place, refusal);
        return number;
    }

    Vec3 readVec3(const Json& value, const std::string& place) const {
        if (!value.is_array() || value.size() != 3)
            fail(place, "expected an array of three numbers");
        return Vec3{readNumber(value[0], indexPlace(place, 0)), readNumber(value[1], indexPlace(place, 1)),
                    readNumber(value[2], indexPlace(place, 2))};
    }

    std::string readId(const Json& value, const std::string& place) const {
        if (!value.is_string())
            fail(place, "expected a node id (a string)");
        const std::string& id = value.get_ref<const std::string&>();
        if (id.empty())
            fail(place, "empty node id");
        return id;
    }

    const Node& readReference(const Json& value, const std::string& place) const {
        std::string id = readId(value, place);
        auto found = nodesById_.find(id);
        if (found == nodesById_.end())
            fail(place, "unknown node " + jsonQuoted(id));
        return *found->second.node;
    }

    void readVersion(const Json& document) const {
        const Json& version = required(document, "", "kivora_model");
        if (version.is_number_unsigned() || version.is_number_integer()) {
            std::int64_t number = version.is_number_unsigned()
                                      ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                                            version.get<std::uint64_t>(), std::uint64_t{INT64_MAX}))
                                      : version.get<std::int64_t>();
            if (number == kModelFileVersion)
                return;
            fail("kivora_model", "unsupported version " + version.dump() + " (this program reads " +
                                     std::to_string(kModelFileVersion) + ")");
        }
        fail("kivora_model", "expected the integer " + std::to_string(kModelFileVersion));
    }

    PendingElement readElement(const Json& json, const std::string& place) {
        requireObject(json, place);
        checkKeys(json, place, {"origin", "nodes", "links"});
        Element element;
        if (const Json* origin = member(json, "origin"))
            element.origin = readVec3(*origin, memberPlace(place, "origin"));
        if (const Json* nodes = member(json, "nodes")) {
            std::string nodesPlace = memberPlace(place, "nodes");
            requireArray(*nodes, nodesPlace);
            for (std::size_t n = 0; n < nodes->size(); ++n)
                element.nodes.push_back(&readNode((*nodes)[n], indexPlace(nodesPlace, n)));
        }
        if (const Json* links = member(json, "links"))
            requireArray(*links, memberPlace(place, "links"));
        model_.elements.push_back(std::move(element));
        return PendingElement{place, &json, model_.elements.size() - 1};
    }

    Node& readNode(const Json& json, const std::string& place) {
        requireObject(json, place);
        checkKeys(json, place, {"id", "pos", "fixed", "mass", "x0", "v0", "links"});
        std::string idPlace = memberPlace(place, "id");
        std::string id = readId(required(json, place, "id"), idPlace);
        if (auto found = nodesById_.find(id); found != nodesById_.end())
            fail(idPlace, "repeated node id " + jsonQuoted(id) + " (first at " + found->second.place + ")");

        Node& node = model_.createNode(id);
        nodesById_.emplace(id, NodeEntry{&node, place});
        if (const Json* pos = member(json, "pos"))
            node.position = readVec3(*pos, memberPlace(place, "pos"));
        if (const Json* fixed = member(json, "fixed")) {
            if (!fixed->is_boolean())
                fail(memberPlace(place, "fixed"), "expected true or false");
            node.fixed = fixed->get<bool>();
        }
        if (const Json* mass = member(json, "mass")) {
            std::string massPlace = memberPlace(place, "mass");
            node.parameters[Node::kMass] = readNumber(*mass, massPlace);
            if (const char* refusal = massRefusal(node.parameters[Node::kMass]))
                fail(massPlace, refusal);
        }
        if (const Json* x0 = member(json, "x0"))
            node.parameters[Node::kInitialDisplacement] = readNumber(*x0, memberPlace(place, "x0"));
        if (const Json* v0 = member(json, "v0"))
            node.parameters[Node::kInitialVelocity] = readNumber(*v0, memberPlace(place, "v0"));
        if (const Json* links = member(json, "links"))
            requireArray(*links, memberPlace(place, "links"));
        return node;
    }

    void resolveLinks(const PendingElement& pending) {
        const Json& json = *pending.json;
        if (const Json* nodes = member(json, "nodes")) {
            std::string nodesPlace = memberPlace(pending.place, "nodes");
            for (std::size_t n = 0; n < nodes->size(); ++n) {
                const Json* links = member((*nodes)[n], "links");
                if (links == nullptr)
                    continue;
                Node& node = *model_.elements[pending.index].nodes[n];
                std::string linksPlace = memberPlace(indexPlace(nodesPlace, n), "links");
                for (std::size_t l = 0; l < links->size(); ++l) {
                    std::string place = indexPlace(linksPlace, l);
                    const Json& link = (*links)[l];
                    requireObject(link, place);
                    checkKeys(link, place, {"to", "k"});
                    NodeLink resolved;
                    resolved.other = &readReference(required(link, place, "to"), memberPlace(place, "to"));
                    resolved.stiffness = readNumber(required(link, place, "k"), memberPlace(place, "k"));
                    node.links.push_back(resolved);
                }
            }
        }
        if (const Json* links = member(json, "links")) {
            std::string linksPlace = memberPlace(pending.place, "links");
            for (std::size_t l = 0; l < links->size(); ++l) {
                std::string place = indexPlace(linksPlace, l);
                const Json& link = (*links)[l];
                requireObject(link, place);
                checkKeys(link, place, {"from", "to", "k"});
                ElementLink resolved;
                resolved.first = &readReference(required(link, place, "from"), memberPlace(place, "from"));
                resolved.second = &readReference(required(link, place, "to"), memberPlace(place, "to"));
                resolved.stiffness = readNumber(required(link, place, "k"), memberPlace(place, "k"));
                model_.elements[pending.index].links.push_back(resolved);
            }
        }
    }

    void readFlag(const Json& document) {
        const Json* flag = member(document, "flag");
        if (flag == nullptr || flag->is_null())
            return;
        if (!flag->is_string())
            fail("flag", "expected a node id (a string) or null");
        model_.flagged = &readReference(*flag, "flag");
    }

    struct NodeEntry {
        Node* node;
        std::string place;
    };

    std::string sourceName_;
    Representation model_;
    std::unordered_map<std::string, NodeEntry> nodesById_;
};

// ---------------------------------------------------------------------------
// Writing.

constexpr const char* kSaveSource = "model";

// Shortest text that reads back as the same double. A '.' or exponent keeps
// the number a floating-point one, so -0.0 keeps its sign.
std::string formatNumber(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eE") == std::string::npos)
        text += ".0";
    return text;
}

std::string formatVec3(const Vec3& v) {
    return "[" + formatNumber(v.x) + ", " + formatNumber(v.y) + ", " + formatNumber(v.z) + "]";
}

bool isPositiveZero(double value) {
    return value == 0.0 && !std::signbit(value);
}

class ModelWriter {
public:
    explicit ModelWriter(const Representation& model) : model_(model) {}

    std::string write() {
        indexNodes();
        std::string out = "{\n  \"kivora_model\": " + std::to_string(kModelFileVersion) + ",\n  \"flag\": ";
        out += model_.flagged == nullptr ? "null" : idText(*model_.flagged, "flag");
        out += ",\n  \"elements\": [";
        for (std::size_t e = 0; e < model_.elements.size(); ++e) {
            out += e == 0 ? "\n" : ",\n";
            writeElement(out, model_.elements[e], indexPlace("elements", e));
        }
        out += model_.elements.empty() ? "]\n}\n" : "\n  ]\n}\n";
        return out;
    }

private:
    [[noreturn]] void fail(const std::string& place, const std::string& reason) const {
        throw ModelFileError(kSaveSource, place, reason);
    }

    void indexNodes() {
        std::unordered_map<std::string, std::string> placeById;
        for (std::size_t e = 0; e < model_.elements.size(); ++e) {
            const Element& element = model_.elements[e];
            for (std::size_t n = 0; n < element.nodes.size(); ++n) {
                std::string place = indexPlace(memberPlace(indexPlace("elements", e), "nodes"), n);
                const Node* node = element.nodes[n];
                if (node == nullptr)
                    fail(place, "no node");
                if (auto [it, inserted] = elementPlaceOf_.emplace(node, place); !inserted)
                    fail(place, "node " + jsonQuoted(node->id()) + " is also at " + it->second);
                std::string idPlace = memberPlace(place, "id");
                if (node->id().empty())
                    fail(idPlace, "empty node id");
                try {
                    idTexts_[node] = Json(node->id()).dump(-1, ' ', false, Json::error_handler_t::strict);
                } catch (const Json::exception&) {
                    fail(idPlace, "node id is not valid UTF-8");
                }
                if (auto [it, inserted] = placeById.emplace(node->id(), place); !inserted)
                    fail(idPlace,
                         "repeated node id " + jsonQuoted(node->id()) + " (first at " + it->second + ")");
            }
        }
    }

    const std::string& idText(const Node& node, const std::string& place) const {
        auto found = idTexts_.find(&node);
        if (found == idTexts_.end())
            fail(place, "node " + jsonQuoted(node.id()) + " is in no element");
        return found->second;
    }

    std::string number(double value, const std::string& place) const {
        if (const char* refusal = numberRefusal(value))
            fail(place, refusal);
        return formatNumber(value);
    }

    std::string vec3(const Vec3& v, const std::string& place) const {
        number(v.x, indexPlace(place, 0));
        number(v.y, indexPlace(place, 1));
        number(v.z, indexPlace(place, 2));
        return formatVec3(v);
    }

    void writeElement(std::string& out, const Element& element, const std::string& place) const {
        out += "    {\n      \"origin\": " + vec3(element.origin, memberPlace(place, "origin")) +
               ",\n      \"nodes\": [";
        for (std::size_t n = 0; n < element.nodes.size(); ++n) {
            out += n == 0 ? "\n" : ",\n";
            writeNode(out, *element.nodes[n], indexPlace(memberPlace(place, "nodes"), n));
        }
        out += element.nodes.empty() ? "],\n" : "\n      ],\n";
        out += "      \"links\": [";
        for (std::size_t l = 0; l < element.links.size(); ++l) {
            const ElementLink& link = element.links[l];
            std::string linkPlace = indexPlace(memberPlace(place, "links"), l);
            if (link.first == nullptr || link.second == nullptr)
                fail(linkPlace, "no node");
            out += l == 0 ? "\n" : ",\n";
            out += "        {\"from\": " + idText(*link.first, memberPlace(linkPlace, "from")) +
                   ", \"to\": " + idText(*link.second, memberPlace(linkPlace, "to")) +
                   ", \"k\": " + number(link.stiffness, memberPlace(linkPlace, "k")) + "}";
        }
        out += element.links.empty() ? "]\n    }" : "\n      ]\n    }";
    }

    void writeNode(std::string& out, const Node& node, const std::string& place) const {
        out += "        {\"id\": " + idTexts_.at(&node) +
               ", \"pos\": " + vec3(node.position, memberPlace(place, "pos"));
        if (node.fixed)
            out += ", \"fixed\": true";
        double mass = node.parameters[Node::kMass];
        if (const char* refusal = massRefusal(mass))
            fail(memberPlace(place, "mass"), refusal);
        if (mass != 1.0)
            out += ", \"mass\": " + formatNumber(mass);
        static constexpr std::pair<int, const char*> kOptional[] = {{Node::kInitialDisplacement, "x0"},
                                                                    {Node::kInitialVelocity, "v0"}};
        for (auto [index, key] : kOptional) {
            double value = node.parameters[index];
            if (!isPositiveZero(value))
                out += std::string(", \"") + key + "\": " + number(value, memberPlace(place, key));
        }
        if (!node.links.empty()) {
            out += ", \"links\": [";
            for (std::size_t l = 0; l < node.links.size(); ++l) {
                const NodeLink& link = node.links[l];
                std::string linkPlace = indexPlace(memberPlace(place, "links"), l);
                if (link.other == nullptr)
                    fail(linkPlace, "no node");
                out += l == 0 ? "" : ", ";
                out += "{\"to\": " + idText(*link.other, memberPlace(linkPlace, "to")) +
                       ", \"k\": " + number(link.stiffness, memberPlace(linkPlace, "k")) + "}";
            }
            out += "]";
        }
        out += "}";
    }

    const Representation& model_;
    std::unordered_map<const Node*, std::string> elementPlaceOf_;
    std::unordered_map<const Node*, std::string> idTexts_;
};

std::string systemReason(const char* action, int error) {
    return std::string(action) + ": " + std::strerror(error);
}

} // namespace

const char* numberRefusal(double value) {
    return std::isfinite(value) ? nullptr : "must be finite";
}

const char* massRefusal(double mass) {
    if (const char* refusal = numberRefusal(mass))
        return refusal;
    return mass > 0.0 ? nullptr : "must be greater than 0";
}

ModelFileError::ModelFileError(std::string sourceName, std::string place, std::string reason)
    : std::runtime_error(oneLine(joinMessage(sourceName, place, reason))), sourceName_(std::move(sourceName)),
      place_(std::move(place)), reason_(std::move(reason)) {}

Representation loadModel(std::string_view text, std::string_view sourceName) {
    std::string source(sourceName);
    Json document = parseDocument(text, source);
    return ModelReader(source).read(document);
}

Representation loadModelFile(const std::filesystem::path& path) {
    std::string source = path.string();
    std::FILE* file = std::fopen(source.c_str(), "rb");
    if (file == nullptr)
        throw ModelFileError(source, "", systemReason("cannot open", errno));
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        text.append(buffer, got);
        if (text.size() > kMaxModelFileBytes) {
            std::fclose(file);
            throw ModelFileError(source, "",
                                 "larger than " + std::to_string(kMaxModelFileBytes >> 20) + " MiB");
        }
        if (got < sizeof buffer) {
            if (std::ferror(file)) {
                int error = errno;
                std::fclose(file);
                throw ModelFileError(source, "", systemReason("cannot read", error));
            }
            break;
        }
    }
    std::fclose(file);
    return loadModel(text, source);
}

std::string saveModel(const Representation& model) {
    return ModelWriter(model).write();
}

void saveModelFile(const std::filesystem::path& path, const Representation& model) {
    std::string text = saveModel(model);
    std::string target = path.string();
    std::filesystem::path folder =
        path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();

    int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        throw ModelFileError(target, "", systemReason("cannot write", errno));
    auto failWith = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw ModelFileError(target, "", systemReason("cannot write", error));
    };
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            failWith(errno);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    // Keep the permissions of a file being replaced; a new file gets rw-r--r--.
    struct stat existing {};
    mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
        failWith(errno);
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw ModelFileError(target, "", systemReason("cannot write", error));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw ModelFileError(target, "", systemReason("cannot write", error));
    }
}

} // namespace InstrumentKit
