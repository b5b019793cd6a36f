// The model the user draws: nodes (masses) joined by springs, grouped in
// elements, with one node flagged as the one that is heard.
#pragma once

#include <modelkit/Export.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace InstrumentKit {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

class Node;

// A spring stored on a node: it acts on that node only. A spring that acts on
// both of its ends is an own link on each end.
struct NodeLink {
    const Node* other = nullptr;
    double stiffness = 0.0;
};

class MODELKIT_API Node {
public:
    // Parameters in the order the simulation reads them.
    static constexpr int kMass = 0;
    static constexpr int kInitialDisplacement = 1;
    static constexpr int kInitialVelocity = 2;

    Node(std::uint64_t identity, std::string id) : identity_(identity), id_(std::move(id)) {}

    // Orders nodes totally: the order in which the representation created them.
    std::uint64_t identity() const { return identity_; }
    const std::string& id() const { return id_; }

    Vec3 position;
    bool fixed = false;
    double parameters[3] = {1.0, 0.0, 0.0}; // mass, initial displacement, initial velocity
    std::vector<NodeLink> links;

    double mass() const { return parameters[kMass]; }
    double initialDisplacement() const { return parameters[kInitialDisplacement]; }
    double initialVelocity() const { return parameters[kInitialVelocity]; }

private:
    std::uint64_t identity_;
    std::string id_;
};

// A spring stored on an element: it acts on its second node only.
struct ElementLink {
    const Node* first = nullptr;
    const Node* second = nullptr;
    double stiffness = 0.0;
};

struct Element {
    Vec3 origin;
    std::vector<Node*> nodes; // references into the representation's nodes, in stored order
    std::vector<ElementLink> links;
};

// Owns its nodes; elements refer to them. Node pointers stay valid for the
// life of the representation (nodes are never removed one by one).
//
// Thread: the interface thread owns and edits a representation (the editor,
// the model file); any thread may read one that nobody changes meanwhile
// (the note generator takes its snapshot from it).
class MODELKIT_API Representation {
public:
    Representation();
    ~Representation();
    Representation(const Representation&) = delete;
    Representation& operator=(const Representation&) = delete;
    Representation(Representation&&) noexcept;
    Representation& operator=(Representation&&) noexcept;

    // Creates a node with the next identity; the caller puts it into an element.
    // Allocates the node.
    Node& createNode(std::string id);
    // Removes every element and node and the flag; frees them.
    void clear();

    std::vector<Element> elements;
    const Node* flagged = nullptr; // the node that sounds, or none

    std::size_t nodeCount() const { return nodes_.size(); }
    // A node by its id, or nullptr; a linear search that allocates nothing.
    const Node* findNode(const std::string& id) const;

private:
    std::vector<std::unique_ptr<Node>> nodes_;
    std::uint64_t nextIdentity_ = 0;
};

// Passed through to the views and never used.
template <class Value>
class Processor {};

} // namespace InstrumentKit
