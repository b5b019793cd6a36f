#include "DecimalCommaLocale.h"

#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace InstrumentKit;
namespace fs = std::filesystem;

namespace {

std::string loadError(const std::string& text) {
    try {
        loadModel(text, "m.json");
    } catch (const ModelFileError& error) {
        return error.what();
    }
    return "(loaded)";
}

std::string saveError(const Representation& model) {
    try {
        saveModel(model);
    } catch (const ModelFileError& error) {
        return error.what();
    }
    return "(saved)";
}

// A model file whose first element holds the given nodes.
std::string withNodes(const std::string& nodes, const std::string& rest = "") {
    return R"({"kivora_model": 1, "elements": [{"nodes": [)" + nodes + "]" + rest + "}]}";
}

std::vector<const Node*> allNodes(const Representation& model) {
    std::vector<const Node*> nodes;
    for (const Element& element : model.elements)
        nodes.insert(nodes.end(), element.nodes.begin(), element.nodes.end());
    return nodes;
}

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "modelkit-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

} // namespace

TEST(ModelFileLoad, ReadsEveryFieldAndResolvesLinksAcrossElements) {
    Representation model = loadModel(R"({
        "kivora_model": 1,
        "flag": "b",
        "elements": [
          { "origin": [1, 2.5, -3],
            "nodes": [ {"id": "a", "pos": [0, 0, 0], "fixed": true},
                       {"id": "b", "pos": [1, 0, 0], "mass": 2.0, "x0": 0.5, "v0": -0.25,
                        "links": [{"to": "a", "k": 4.0e5}, {"to": "c", "k": 3}]} ],
            "links": [ {"from": "a", "to": "b", "k": 1000.0} ] },
          { "nodes": [ {"id": "c", "pos": [2, 0, 0]} ],
            "links": [ {"from": "b", "to": "c", "k": 7} ] } ] })",
                                     "test");
    ASSERT_EQ(model.elements.size(), 2u);
    ASSERT_EQ(model.nodeCount(), 3u);
    const Element& first = model.elements[0];
    EXPECT_EQ(first.origin.y, 2.5);
    EXPECT_EQ(first.origin.z, -3.0);
    const Node& a = *first.nodes[0];
    const Node& b = *first.nodes[1];
    const Node& c = *model.elements[1].nodes[0];
    EXPECT_TRUE(a.fixed);
    EXPECT_EQ(b.position.x, 1.0);
    EXPECT_EQ(b.mass(), 2.0);
    EXPECT_EQ(b.initialDisplacement(), 0.5);
    EXPECT_EQ(b.initialVelocity(), -0.25);
    ASSERT_EQ(b.links.size(), 2u);
    EXPECT_EQ(b.links[0].other, &a);
    EXPECT_EQ(b.links[0].stiffness, 4.0e5);
    EXPECT_EQ(b.links[1].other, &c); // a forward reference into a later element
    ASSERT_EQ(first.links.size(), 1u);
    EXPECT_EQ(first.links[0].first, &a);
    EXPECT_EQ(first.links[0].second, &b);
    EXPECT_EQ(first.links[0].stiffness, 1000.0);
    EXPECT_EQ(model.elements[1].links[0].second, &c);
    EXPECT_EQ(model.flagged, &b);
    // Identity follows the order of appearance in the file.
    EXPECT_LT(a.identity(), b.identity());
    EXPECT_LT(b.identity(), c.identity());
}

TEST(ModelFileLoad, AppliesDefaults) {
    Representation model = loadModel(withNodes(R"({"id": "n"})"));
    const Node& node = *model.elements[0].nodes[0];
    EXPECT_EQ(model.elements[0].origin.x, 0.0);
    EXPECT_TRUE(model.elements[0].links.empty());
    EXPECT_EQ(node.position.x, 0.0);
    EXPECT_EQ(node.position.z, 0.0);
    EXPECT_FALSE(node.fixed);
    EXPECT_EQ(node.mass(), 1.0);
    EXPECT_EQ(node.initialDisplacement(), 0.0);
    EXPECT_EQ(node.initialVelocity(), 0.0);
    EXPECT_TRUE(node.links.empty());
    EXPECT_EQ(model.flagged, nullptr); // absent flag: nothing sounds

    EXPECT_EQ(loadModel(R"({"kivora_model": 1})").elements.size(), 0u);
    EXPECT_EQ(loadModel(R"({"kivora_model": 1, "elements": [{}]})").elements.size(), 1u);
    EXPECT_EQ(loadModel(withNodes(R"({"id": "n"})", "") + "").flagged, nullptr);
    EXPECT_EQ(
        loadModel(R"({"kivora_model": 1, "flag": null, "elements": [{"nodes": [{"id": "n"}]}]})").flagged,
        nullptr);
}

TEST(ModelFileLoad, AcceptsHugeFiniteNumbersAndIntegersOfAnySize) {
    Representation model = loadModel(withNodes(
        R"({"id": "n", "mass": 1.7976931348623157e308, "x0": -18446744073709551615, "v0": 4.9e-324,
            "pos": [123456789012345678901234567890, 1e-300, -0.0], "links": [{"to": "n", "k": 9223372036854775807}]})"));
    const Node& node = *model.elements[0].nodes[0];
    EXPECT_EQ(node.mass(), std::numeric_limits<double>::max());
    EXPECT_EQ(node.initialDisplacement(), -18446744073709551615.0);
    EXPECT_EQ(node.initialVelocity(), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(node.position.x, 1.2345678901234568e29);
    EXPECT_TRUE(std::signbit(node.position.z));
    EXPECT_EQ(node.links[0].stiffness, 9223372036854775807.0);
}

TEST(ModelFileLoad, RefusesWithOneLineNamingPlaceAndReason) {
    const std::pair<std::string, std::string> cases[] = {
        // The document as a whole.
        {"", "m.json: line 1, column 1: syntax error while parsing value - unexpected end of input; expected "
             "'[', "
             "'{', or a literal"},
        {"{\n  \"kivora_model\": 1,\n}", "m.json: line 3, column 1: syntax error while parsing object key - "
                                         "unexpected '}'; expected string literal"},
        {"[]", R"(m.json: expected an object with "kivora_model" at the top)"},
        {"{}", "m.json: kivora_model: missing"},
        {R"({"kivora_model": 2})", "m.json: kivora_model: unsupported version 2 (this program reads 1)"},
        {R"({"kivora_model": 18446744073709551615})",
         "m.json: kivora_model: unsupported version 18446744073709551615 (this program reads 1)"},
        {R"({"kivora_model": -1})", "m.json: kivora_model: unsupported version -1 (this program reads 1)"},
        {R"({"kivora_model": 1.0})", "m.json: kivora_model: expected the integer 1"},
        {R"({"kivora_model": "1"})", "m.json: kivora_model: expected the integer 1"},
        {R"({"kivora_model": 1, "kivora_model": 1})", "m.json: kivora_model: repeated key"},
        {R"({"kivora_model": 1, "colour": 1})", "m.json: colour: unknown key"},
        {R"({"colour": 1, "kivora_model": 3})",
         "m.json: kivora_model: unsupported version 3 (this program reads 1)"},
        {R"({"kivora_model": 1, "two words": 1})", R"(m.json: ["two words"]: unknown key)"},
        {R"({"kivora_model": 1, "elements": {}})", "m.json: elements: expected an array"},
        {R"({"kivora_model": 1, "elements": [[]]})", "m.json: elements[0]: expected an object"},
        {R"({"kivora_model": 1, "elements": [{"node": []}]})", "m.json: elements[0].node: unknown key"},
        {R"({"kivora_model": 1, "elements": [{"origin": [0, 0]}]})",
         "m.json: elements[0].origin: expected an array of three numbers"},
        {R"({"kivora_model": 1, "elements": [{"nodes": 3}]})",
         "m.json: elements[0].nodes: expected an array"},
        {R"({"kivora_model": 1, "elements": [{"links": {}}]})",
         "m.json: elements[0].links: expected an array"},
        // Nodes.
        {withNodes(R"("a")"), "m.json: elements[0].nodes[0]: expected an object"},
        {withNodes(R"({"pos": [0, 0, 0]})"), "m.json: elements[0].nodes[0].id: missing"},
        {withNodes(R"({"id": 7})"), "m.json: elements[0].nodes[0].id: expected a node id (a string)"},
        {withNodes(R"({"id": ""})"), "m.json: elements[0].nodes[0].id: empty node id"},
        {withNodes(R"({"id": "a"}, {"id": "b", "mas": 2})"), "m.json: elements[0].nodes[1].mas: unknown key"},
        {withNodes(R"({"id": "a", "pos": [0, "1", 0]})"),
         "m.json: elements[0].nodes[0].pos[1]: expected a number"},
        {withNodes(R"({"id": "a", "pos": [0, 0, 0, 0]})"),
         "m.json: elements[0].nodes[0].pos: expected an array of three numbers"},
        {withNodes(R"({"id": "a", "fixed": 1})"),
         "m.json: elements[0].nodes[0].fixed: expected true or false"},
        {withNodes(R"({"id": "a", "mass": 0})"), "m.json: elements[0].nodes[0].mass: must be greater than 0"},
        {withNodes(R"({"id": "a", "mass": -0.0})"),
         "m.json: elements[0].nodes[0].mass: must be greater than 0"},
        {withNodes(R"({"id": "a", "mass": -2.5})"),
         "m.json: elements[0].nodes[0].mass: must be greater than 0"},
        {withNodes(R"({"id": "a", "mass": null})"), "m.json: elements[0].nodes[0].mass: expected a number"},
        {withNodes(R"({"id": "a", "x0": true})"), "m.json: elements[0].nodes[0].x0: expected a number"},
        {withNodes(R"({"id": "a", "v0": "0"})"), "m.json: elements[0].nodes[0].v0: expected a number"},
        {withNodes(R"({"id": "a", "mass": 1e999})"),
         "m.json: elements[0].nodes[0].mass: number overflow parsing '1e999'"},
        {withNodes(R"({"id": "a", "pos": [0, -1e400, 0]})"),
         "m.json: elements[0].nodes[0].pos[1]: number overflow parsing '-1e400'"},
        {withNodes(R"({"id": "a", "mass": 1, "mass": 2})"),
         "m.json: elements[0].nodes[0].mass: repeated key"},
        // Ids are unique across the whole file.
        {R"({"kivora_model": 1, "elements": [{"nodes": [{"id": "a"}]}, {"nodes": [{"id": "b"}, {"id": "a"}]}]})",
         R"(m.json: elements[1].nodes[1].id: repeated node id "a" (first at elements[0].nodes[0]))"},
        // Links.
        {withNodes(R"({"id": "a", "links": {}})"), "m.json: elements[0].nodes[0].links: expected an array"},
        {withNodes(R"({"id": "a", "links": ["b"]})"),
         "m.json: elements[0].nodes[0].links[0]: expected an object"},
        {withNodes(
             R"({"id": "a"}, {"id": "b"}, {"id": "c", "links": [{"to": "a", "k": 1}, {"to": "q", "k": 1}]})"),
         R"(m.json: elements[0].nodes[2].links[1].to: unknown node "q")"},
        {withNodes(R"({"id": "a", "links": [{"k": 1}]})"),
         "m.json: elements[0].nodes[0].links[0].to: missing"},
        {withNodes(R"({"id": "a", "links": [{"to": "a"}]})"),
         "m.json: elements[0].nodes[0].links[0].k: missing"},
        {withNodes(R"({"id": "a", "links": [{"to": "a", "k": "hard"}]})"),
         "m.json: elements[0].nodes[0].links[0].k: expected a number"},
        {withNodes(R"({"id": "a", "links": [{"to": "a", "k": 1, "from": "a"}]})"),
         "m.json: elements[0].nodes[0].links[0].from: unknown key"},
        {withNodes(R"({"id": "a"})", R"(, "links": [{"from": "z", "to": "a", "k": 1}])"),
         R"(m.json: elements[0].links[0].from: unknown node "z")"},
        {withNodes(R"({"id": "a"})", R"(, "links": [{"from": "a", "k": 1}])"),
         "m.json: elements[0].links[0].to: missing"},
        // The flag.
        {R"({"kivora_model": 1, "flag": "z", "elements": [{"nodes": [{"id": "a"}]}]})",
         R"(m.json: flag: unknown node "z")"},
        {R"({"kivora_model": 1, "flag": 0, "elements": [{"nodes": [{"id": "a"}]}]})",
         "m.json: flag: expected a node id (a string) or null"},
        {R"({"kivora_model": 1, "flag": "a\nb"})", R"(m.json: flag: unknown node "a\nb")"},
        {R"({"kivora_model": 1, "flag": ""})", "m.json: flag: empty node id"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(loadError(text), expected);
    }
}

TEST(ModelFileLoad, MessagesStayOneLineOfValidText) {
    for (std::string text : {std::string("{\"kivora_model\": 1, \"flag\": \"\xc3\"}"),
                             std::string("{\"kivora_model\": 1,\n\"x\":\n\"\x01\"}"),
                             std::string("{\"kivora_model\": 1, \"\\u0007\": 1}")}) {
        std::string message = loadError(text);
        SCOPED_TRACE(message);
        EXPECT_EQ(message.rfind("m.json: ", 0), 0u);
        for (char c : message) {
            EXPECT_GE(static_cast<unsigned char>(c), 0x20);
            EXPECT_LT(static_cast<unsigned char>(c), 0x80);
        }
    }
}

TEST(ModelFileLoad, RefusesDeepNestingWithoutBuildingIt) {
    // nlohmann-json would parse this and then overflow the stack copying or
    // destroying the value; the depth limit stops the parser first.
    const std::size_t depth = 100000;
    std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string place;
    for (int level = 0; level < kMaxModelNestingDepth; ++level)
        place += "[0]"; // the first array too deep
    EXPECT_EQ(loadError(arrays), "m.json: " + place + ": nested deeper than 32 levels");
    std::string objects = R"({"kivora_model": 1, "elements": [)";
    for (std::size_t i = 0; i < depth; ++i)
        objects += R"({"x": )";
    std::string message = loadError(objects); // unterminated as well: the depth check comes first
    EXPECT_NE(message.find(": nested deeper than 32 levels"), std::string::npos) << message;
    EXPECT_EQ(message.rfind("m.json: elements[0].x.x.x", 0), 0u) << message;
    EXPECT_LT(message.size(), 200u);

    // A model needs seven levels; a little nesting in unknown places is reported as such.
    EXPECT_EQ(loadError(withNodes(R"({"id": "a", "pos": [[[0]], 0, 0]})")),
              "m.json: elements[0].nodes[0].pos[0]: expected a number");
}

TEST(ModelFileSave, RoundTripKeepsEveryDoubleBitForBit) {
    const double awkward[] = {0.1,
                              1.0 / 3.0,
                              -0.0,
                              5e-324,
                              2.2250738585072014e-308,
                              1.7976931348623157e308,
                              -123456789012345678.0,
                              1e21,
                              100000.0,
                              0.30000000000000004,
                              -2.5e-7};
    Representation model;
    Element element;
    element.origin = Vec3{awkward[0], awkward[2], awkward[7]};
    std::vector<Node*> nodes;
    for (std::size_t i = 0; i < std::size(awkward); ++i) {
        Node& node = model.createNode("n" + std::to_string(i));
        node.position = Vec3{awkward[i], awkward[(i + 1) % std::size(awkward)], -awkward[i]};
        node.fixed = i % 3 == 0;
        node.parameters[Node::kMass] = std::abs(awkward[i]) > 0.0 ? std::abs(awkward[i]) : 1.0;
        node.parameters[Node::kInitialDisplacement] = awkward[(i + 2) % std::size(awkward)];
        node.parameters[Node::kInitialVelocity] = awkward[(i + 3) % std::size(awkward)];
        element.nodes.push_back(&node);
        nodes.push_back(&node);
    }
    for (std::size_t i = 0; i < nodes.size(); ++i)
        nodes[i]->links.push_back(NodeLink{nodes[(i + 5) % nodes.size()], awkward[i]});
    element.links.push_back(ElementLink{nodes[1], nodes[2], awkward[3]});
    model.elements.push_back(std::move(element));
    model.flagged = nodes[4];

    std::string saved = saveModel(model);
    Representation loaded = loadModel(saved);
    EXPECT_EQ(saveModel(loaded), saved);

    auto bits = [](double value) { return std::bit_cast<std::uint64_t>(value); };
    ASSERT_EQ(loaded.nodeCount(), model.nodeCount());
    EXPECT_EQ(bits(loaded.elements[0].origin.y), bits(-0.0));
    EXPECT_EQ(bits(loaded.elements[0].origin.z), bits(1e21));
    std::vector<const Node*> before = allNodes(model), after = allNodes(loaded);
    for (std::size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(after[i]->id(), before[i]->id());
        EXPECT_EQ(after[i]->fixed, before[i]->fixed);
        EXPECT_EQ(bits(after[i]->position.x), bits(before[i]->position.x));
        EXPECT_EQ(bits(after[i]->position.y), bits(before[i]->position.y));
        EXPECT_EQ(bits(after[i]->position.z), bits(before[i]->position.z));
        for (int p = 0; p < 3; ++p)
            EXPECT_EQ(bits(after[i]->parameters[p]), bits(before[i]->parameters[p]));
        ASSERT_EQ(after[i]->links.size(), 1u);
        EXPECT_EQ(after[i]->links[0].other->id(), before[i]->links[0].other->id());
        EXPECT_EQ(bits(after[i]->links[0].stiffness), bits(before[i]->links[0].stiffness));
    }
    EXPECT_EQ(loaded.elements[0].links[0].first->id(), "n1");
    EXPECT_EQ(loaded.elements[0].links[0].second->id(), "n2");
    EXPECT_EQ(bits(loaded.elements[0].links[0].stiffness), bits(5e-324));
    EXPECT_EQ(loaded.flagged->id(), "n4");
}

TEST(ModelFileSave, NumbersIgnoreTheProcessLocale) {
    const std::string savedUnderC = saveModel(makeString(3));
    TemporaryFolder folder;
    if (!kivora::testing::useDecimalCommaLocale(folder.path()))
        GTEST_SKIP() << "no locale with a decimal comma is available";
    ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");
    Representation model = makeString(3);
    std::string saved = saveModel(model);
    Representation loaded = loadModel(saved);
    std::string again = saveModel(loaded);
    double mass = loadModel(withNodes(R"({"id": "a", "mass": 0.25})")).elements[0].nodes[0]->mass();
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(again, saved);
    EXPECT_EQ(saved, savedUnderC);
    EXPECT_EQ(mass, 0.25);
}

TEST(ModelFileSave, WritesTheFlagAsNullWhenNothingSounds) {
    Representation model = loadModel(withNodes(R"({"id": "a"})"));
    std::string saved = saveModel(model);
    EXPECT_NE(saved.find("\"flag\": null"), std::string::npos);
    EXPECT_EQ(loadModel(saved).flagged, nullptr);
    EXPECT_EQ(saveModel(Representation{}),
              "{\n  \"kivora_model\": 1,\n  \"flag\": null,\n  \"elements\": []\n}\n");
}

TEST(ModelFileSave, RefusesModelsTheFileCannotHold) {
    auto twoNodes = [] {
        Representation model;
        Element element;
        element.nodes.push_back(&model.createNode("a"));
        element.nodes.push_back(&model.createNode("b"));
        model.elements.push_back(std::move(element));
        return model;
    };
    {
        Representation model = twoNodes();
        model.elements.push_back(Element{});
        model.elements[1].nodes.push_back(model.elements[0].nodes[0]);
        EXPECT_EQ(saveError(model),
                  R"(model: elements[1].nodes[0]: node "a" is also at elements[0].nodes[0])");
    }
    {
        Representation model = twoNodes();
        const Node& loose = model.createNode("loose");
        model.elements[0].nodes[1]->links.push_back(NodeLink{&loose, 1.0});
        EXPECT_EQ(saveError(model),
                  R"(model: elements[0].nodes[1].links[0].to: node "loose" is in no element)");
        model.elements[0].nodes[1]->links.clear();
        model.flagged = &loose;
        EXPECT_EQ(saveError(model), R"(model: flag: node "loose" is in no element)");
    }
    {
        Representation model = twoNodes();
        model.elements[0].nodes.push_back(&model.createNode("a"));
        EXPECT_EQ(saveError(model),
                  R"(model: elements[0].nodes[2].id: repeated node id "a" (first at elements[0].nodes[0]))");
    }
    {
        Representation model = twoNodes();
        model.elements[0].nodes.push_back(&model.createNode(""));
        EXPECT_EQ(saveError(model), "model: elements[0].nodes[2].id: empty node id");
    }
    {
        Representation model = twoNodes();
        model.elements[0].nodes.push_back(&model.createNode("\xff"));
        EXPECT_EQ(saveError(model), "model: elements[0].nodes[2].id: node id is not valid UTF-8");
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    {
        Representation model = twoNodes();
        model.elements[0].nodes[1]->parameters[Node::kMass] = 0.0;
        EXPECT_EQ(saveError(model), "model: elements[0].nodes[1].mass: must be greater than 0");
        model.elements[0].nodes[1]->parameters[Node::kMass] = inf;
        EXPECT_EQ(saveError(model), "model: elements[0].nodes[1].mass: must be finite");
        model.elements[0].nodes[1]->parameters[Node::kMass] = 1.0;
        model.elements[0].nodes[1]->parameters[Node::kInitialVelocity] = nan;
        EXPECT_EQ(saveError(model), "model: elements[0].nodes[1].v0: must be finite");
    }
    {
        Representation model = twoNodes();
        model.elements[0].nodes[0]->position.y = -inf;
        EXPECT_EQ(saveError(model), "model: elements[0].nodes[0].pos[1]: must be finite");
    }
    {
        Representation model = twoNodes();
        model.elements[0].links.push_back(
            ElementLink{model.elements[0].nodes[0], model.elements[0].nodes[1], nan});
        EXPECT_EQ(saveError(model), "model: elements[0].links[0].k: must be finite");
    }
}

TEST(ModelFileSave, SavedBuiltModelsLoadBackUnchanged) {
    std::vector<Representation> models;
    models.push_back(defaultModel());
    models.push_back(makeMembrane(5, 7));
    for (const Representation& model : models) {
        std::string saved = saveModel(model);
        Representation loaded = loadModel(saved);
        EXPECT_EQ(saveModel(loaded), saved);
        EXPECT_EQ(loaded.flagged->id(), model.flagged->id());
    }
}

TEST(ModelFileFiles, EveryExampleLoadsAndSavesBackUnchanged) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(KIVORA_SOURCE_DIR "/examples/models")) {
        SCOPED_TRACE(entry.path().string());
        Representation model = loadModelFile(entry.path());
        EXPECT_NE(model.flagged, nullptr);
        EXPECT_GT(model.nodeCount(), 1u);
        std::string saved = saveModel(model);
        EXPECT_EQ(saveModel(loadModel(saved)), saved);
        ++count;
    }
    EXPECT_GE(count, 4);
}

TEST(ModelFileFiles, SaveReplacesTheFileAndLeavesNothingElse) {
    TemporaryFolder folder;
    fs::path path = folder.path() / "string.json";
    saveModelFile(path, makeString(4));
    EXPECT_EQ(allNodes(loadModelFile(path)).size(), 6u);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    saveModelFile(path, makeMembrane(4, 4));
    EXPECT_EQ(loadModelFile(path).nodeCount(), 16u);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);

    // A model that cannot be written leaves the old file as it was.
    Representation broken = makeString(2);
    broken.elements[0].nodes[1]->parameters[Node::kMass] = -1.0;
    EXPECT_THROW(saveModelFile(path, broken), ModelFileError);
    EXPECT_EQ(loadModelFile(path).nodeCount(), 16u);
}

TEST(ModelFileFiles, ReportsFilesThatCannotBeReadOrWritten) {
    TemporaryFolder folder;
    fs::path missing = folder.path() / "missing.json";
    try {
        loadModelFile(missing);
        FAIL() << "loaded a missing file";
    } catch (const ModelFileError& error) {
        EXPECT_EQ(std::string(error.what()), missing.string() + ": cannot open: No such file or directory");
    }
    try {
        saveModelFile(folder.path() / "no-folder" / "m.json", defaultModel());
        FAIL() << "saved into a missing folder";
    } catch (const ModelFileError& error) {
        EXPECT_EQ(error.reason(), "cannot write: No such file or directory");
    }
    fs::path bad = folder.path() / "bad.json";
    std::ofstream(bad) << "{\"kivora_model\": 1,\n \"flag\": \"x\"}";
    try {
        loadModelFile(bad);
        FAIL() << "loaded a bad file";
    } catch (const ModelFileError& error) {
        EXPECT_EQ(std::string(error.what()), bad.string() + R"(: flag: unknown node "x")");
        EXPECT_EQ(error.place(), "flag");
    }
}

TEST(ModelBuilders, MembraneHasAFixedRimAndSymmetricNeighbourSprings) {
    Representation model = makeMembrane(32, 32);
    ASSERT_EQ(model.nodeCount(), 1024u);
    int fixed = 0;
    for (const Node* node : allNodes(model)) {
        if (node->fixed) {
            ++fixed;
            EXPECT_TRUE(node->links.empty());
            continue;
        }
        ASSERT_EQ(node->links.size(), 4u);
        for (const NodeLink& link : node->links) {
            double dx = link.other->position.x - node->position.x;
            double dy = link.other->position.y - node->position.y;
            EXPECT_NEAR(std::hypot(dx, dy), 1.0 / 31, 1e-12); // a grid neighbour
            if (!link.other->fixed) {
                const auto& back = link.other->links;
                EXPECT_EQ(std::count_if(back.begin(), back.end(),
                                        [&](const NodeLink& l) {
                                            return l.other == node && l.stiffness == link.stiffness;
                                        }),
                          1);
            }
        }
    }
    EXPECT_EQ(fixed, 4 * 31);
    ASSERT_NE(model.flagged, nullptr);
    EXPECT_FALSE(model.flagged->fixed);
    EXPECT_THROW(makeMembrane(2, 5), std::invalid_argument);
    EXPECT_THROW(makeString(0), std::invalid_argument);
}
