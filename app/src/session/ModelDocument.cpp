#include "session/ModelDocument.h"

#include <modelkit/ModelFile.h>

#include <algorithm>
#include <unordered_map>

namespace kivora {

ModelDocument ModelDocument::fromRepresentation(const InstrumentKit::Representation& model) {
    ModelDocument document;
    std::unordered_map<const InstrumentKit::Node*, int> indexOf;
    for (std::size_t e = 0; e < model.elements.size(); ++e) {
        const InstrumentKit::Element& element = model.elements[e];
        document.elements.push_back(EditorElement{element.origin});
        for (const InstrumentKit::Node* node : element.nodes) {
            if (node == nullptr || indexOf.contains(node))
                continue; // a node listed twice is edited once
            indexOf.emplace(node, static_cast<int>(document.nodes.size()));
            document.nodes.push_back(EditorNode{node->id(), node->position, node->fixed, node->mass(),
                                                node->initialDisplacement(), node->initialVelocity(),
                                                static_cast<int>(e)});
        }
    }
    auto find = [&indexOf](const InstrumentKit::Node* node) {
        const auto found = indexOf.find(node);
        return found == indexOf.end() ? -1 : found->second;
    };
    for (const InstrumentKit::Element& element : model.elements)
        for (const InstrumentKit::Node* node : element.nodes) {
            const int index = find(node);
            if (index < 0)
                continue;
            for (const InstrumentKit::NodeLink& link : node->links) {
                const int other = find(link.other);
                if (other >= 0)
                    document.links.push_back(EditorLink{index, other, link.stiffness});
            }
        }
    // Each node's links were added once per listing; drop the repeats of a twice-listed node.
    std::vector<bool> seen(document.nodes.size(), false);
    std::vector<EditorLink> unique;
    unique.reserve(document.links.size());
    for (std::size_t i = 0; i < document.links.size();) {
        const int node = document.links[i].node;
        std::size_t end = i;
        while (end < document.links.size() && document.links[end].node == node)
            ++end;
        if (!seen[static_cast<std::size_t>(node)])
            unique.insert(unique.end(), document.links.begin() + static_cast<std::ptrdiff_t>(i),
                          document.links.begin() + static_cast<std::ptrdiff_t>(end));
        seen[static_cast<std::size_t>(node)] = true;
        i = end;
    }
    document.links = std::move(unique);
    for (std::size_t e = 0; e < model.elements.size(); ++e)
        for (const InstrumentKit::ElementLink& link : model.elements[e].links) {
            const int first = find(link.first);
            const int second = find(link.second);
            if (first >= 0 && second >= 0)
                document.elementLinks.push_back(
                    EditorElementLink{static_cast<int>(e), first, second, link.stiffness});
        }
    document.flagged = find(model.flagged);
    return document;
}

void ModelDocument::writeTo(InstrumentKit::Representation& model) const {
    model.clear();
    std::vector<InstrumentKit::Node*> created;
    created.reserve(nodes.size());
    model.elements.resize(elements.size());
    for (std::size_t e = 0; e < elements.size(); ++e)
        model.elements[e].origin = elements[e].origin;
    for (const EditorNode& source : nodes) {
        InstrumentKit::Node& node = model.createNode(source.id);
        node.position = source.position;
        node.fixed = source.fixed;
        node.parameters[InstrumentKit::Node::kMass] = source.mass;
        node.parameters[InstrumentKit::Node::kInitialDisplacement] = source.x0;
        node.parameters[InstrumentKit::Node::kInitialVelocity] = source.v0;
        created.push_back(&node);
        if (source.element >= 0 && static_cast<std::size_t>(source.element) < elements.size())
            model.elements[static_cast<std::size_t>(source.element)].nodes.push_back(&node);
    }
    for (const EditorLink& link : links)
        created[static_cast<std::size_t>(link.node)]->links.push_back(
            InstrumentKit::NodeLink{created[static_cast<std::size_t>(link.other)], link.stiffness});
    for (const EditorElementLink& link : elementLinks)
        model.elements[static_cast<std::size_t>(link.element)].links.push_back(
            InstrumentKit::ElementLink{created[static_cast<std::size_t>(link.first)],
                                       created[static_cast<std::size_t>(link.second)], link.stiffness});
    model.flagged = flagged >= 0 ? created[static_cast<std::size_t>(flagged)] : nullptr;
}

std::string ModelDocument::freshNodeId() const {
    return freshNodeIds(1).front();
}

std::vector<std::string> ModelDocument::freshNodeIds(std::size_t count) const {
    long highest = 0;
    for (const EditorNode& node : nodes)
        if (node.id.size() > 1 && node.id[0] == 'n' &&
            std::all_of(node.id.begin() + 1, node.id.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            node.id.size() < 12)
            highest = std::max(highest, std::stol(node.id.substr(1)));
    std::vector<std::string> ids;
    ids.reserve(count);
    for (std::size_t i = 1; i <= count; ++i)
        ids.push_back("n" + std::to_string(highest + static_cast<long>(i)));
    return ids;
}

std::optional<double> ModelDocument::springBetween(int a, int b) const {
    for (const EditorLink& link : links)
        if ((link.node == a && link.other == b) || (link.node == b && link.other == a))
            return link.stiffness;
    return std::nullopt;
}

void ModelDocument::removeNodes(std::vector<int> indices) {
    std::vector<bool> gone(nodes.size(), false);
    for (int index : indices)
        if (index >= 0 && static_cast<std::size_t>(index) < nodes.size())
            gone[static_cast<std::size_t>(index)] = true;
    std::vector<int> newIndex(nodes.size(), -1);
    std::vector<EditorNode> kept;
    kept.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (!gone[i]) {
            newIndex[i] = static_cast<int>(kept.size());
            kept.push_back(std::move(nodes[i]));
        }
    nodes = std::move(kept);
    std::erase_if(links, [&](EditorLink& link) {
        link.node = newIndex[static_cast<std::size_t>(link.node)];
        link.other = newIndex[static_cast<std::size_t>(link.other)];
        return link.node < 0 || link.other < 0;
    });
    std::erase_if(elementLinks, [&](EditorElementLink& link) {
        link.first = newIndex[static_cast<std::size_t>(link.first)];
        link.second = newIndex[static_cast<std::size_t>(link.second)];
        return link.first < 0 || link.second < 0;
    });
    flagged = flagged >= 0 ? newIndex[static_cast<std::size_t>(flagged)] : -1;
}

void ModelDocument::removeElement(int element) {
    if (element < 0 || static_cast<std::size_t>(element) >= elements.size())
        return;
    std::vector<int> members;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].element == element)
            members.push_back(static_cast<int>(i));
    removeNodes(std::move(members));
    std::erase_if(elementLinks, [element](const EditorElementLink& link) { return link.element == element; });
    for (EditorNode& node : nodes)
        if (node.element > element)
            --node.element;
    for (EditorElementLink& link : elementLinks)
        if (link.element > element)
            --link.element;
    elements.erase(elements.begin() + element);
}

const char* fieldName(NodeField field) {
    switch (field) {
    case NodeField::X:
        return "x";
    case NodeField::Y:
        return "y";
    case NodeField::Mass:
        return "Mass";
    case NodeField::X0:
        return "x0";
    case NodeField::V0:
        return "v0";
    case NodeField::Stiffness:
        return "Stiffness";
    case NodeField::OriginX:
        return "Origin x";
    case NodeField::OriginY:
        return "Origin y";
    }
    return "";
}

const char* fieldRefusal(NodeField field, double value) {
    return field == NodeField::Mass ? InstrumentKit::massRefusal(value) : InstrumentKit::numberRefusal(value);
}

} // namespace kivora
