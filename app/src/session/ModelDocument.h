// The editor's working copy of a model: plain values indexed by position, so
// that undo commands can record and restore edits cheaply, and that a model
// with thousands of nodes is drawn without chasing pointers. It converts to and
// from the shared InstrumentKit::Representation that the drawer and the
// generation run read.
#pragma once

#include <modelkit/Representation.h>

#include <optional>
#include <string>
#include <vector>

namespace kivora {

struct EditorNode {
    std::string id;
    InstrumentKit::Vec3 position;
    bool fixed = false;
    double mass = 1.0;
    double x0 = 0.0; // initial displacement
    double v0 = 0.0; // initial velocity
    int element = 0; // index into ModelDocument::elements
};

// A spring stored on `node`, acting on that node only (a node's own link).
struct EditorLink {
    int node = 0;
    int other = 0;
    double stiffness = 0.0;
};

// A one-way spring stored on an element, acting on `second` only.
struct EditorElementLink {
    int element = 0;
    int first = 0;
    int second = 0;
    double stiffness = 0.0;
};

struct EditorElement {
    InstrumentKit::Vec3 origin;
};

struct ModelDocument {
    std::vector<EditorNode> nodes; // an element's nodes keep their relative order
    std::vector<EditorElement> elements;
    std::vector<EditorLink> links;
    std::vector<EditorElementLink> elementLinks;
    int flagged = -1; // index into nodes, or -1

    bool empty() const { return nodes.empty() && elements.empty(); }

    static ModelDocument fromRepresentation(const InstrumentKit::Representation& model);
    // Replaces the whole content of `model` (the object itself stays, so the
    // pointers others hold to it stay valid).
    void writeTo(InstrumentKit::Representation& model) const;

    // An id no node has yet ("n1", "n2", …).
    std::string freshNodeId() const;
    // `count` ids that no node has yet, distinct from one another.
    std::vector<std::string> freshNodeIds(std::size_t count) const;
    // The stiffness of the spring between a and b (either direction), if any.
    std::optional<double> springBetween(int a, int b) const;

    // Removes the given nodes (any order, repeats allowed) with every link that
    // touches them; the flag goes when its node goes.
    void removeNodes(std::vector<int> indices);
    // Removes an element with its nodes and links; later elements move down.
    void removeElement(int element);
};

// The values an edit sets: a node's, a spring's stiffness, an element's origin.
enum class NodeField { X, Y, Mass, X0, V0, Stiffness, OriginX, OriginY };

// The field's name as the properties panel labels it and the undo step names it.
const char* fieldName(NodeField field);
// Why `value` cannot go into `field`, as the model file's rules say, or
// nullptr when it can.
const char* fieldRefusal(NodeField field, double value);

} // namespace kivora
