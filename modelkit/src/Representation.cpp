#include <modelkit/Representation.h>

namespace InstrumentKit {

Representation::Representation() = default;
Representation::~Representation() = default;
Representation::Representation(Representation&&) noexcept = default;
Representation& Representation::operator=(Representation&&) noexcept = default;

Node& Representation::createNode(std::string id) {
    nodes_.push_back(std::make_unique<Node>(nextIdentity_++, std::move(id)));
    return *nodes_.back();
}

void Representation::clear() {
    elements.clear();
    flagged = nullptr;
    nodes_.clear();
    nextIdentity_ = 0;
}

const Node* Representation::findNode(const std::string& id) const {
    for (const auto& node : nodes_)
        if (node->id() == id)
            return node.get();
    return nullptr;
}

} // namespace InstrumentKit
