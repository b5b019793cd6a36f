// The model session's edits as undo commands. Three kinds cover them all: one
// appends records, one changes records in place (keeping each touched record
// as it was and as it becomes, so that undo restores it bit for bit), and one
// swaps whole documents where records are removed and the indices move.
#include "session/ModelSession.h"

#include <modelkit/Builders.h>

#include <QUndoCommand>
#include <QUndoStack>
#include <algorithm>
#include <memory>
#include <utility>

namespace kivora {

// Reaches the session's document; the session rewrites the representation
// after every step.
class ModelEdit : public QUndoCommand {
public:
    ModelEdit(ModelSession& session, const QString& text) : QUndoCommand(text), session_(session) {}

protected:
    ModelDocument& document() { return session_.document_; }
    void changed() { session_.documentChanged(); }

private:
    ModelSession& session_;
};

namespace {

bool isNode(const ModelDocument& document, int node) {
    return node >= 0 && static_cast<std::size_t>(node) < document.nodes.size();
}

bool isElement(const ModelDocument& document, int element) {
    return element >= 0 && static_cast<std::size_t>(element) < document.elements.size();
}

// Where new nodes go: `element` within range, or the element that `addition`
// brings along when the model has none yet.
int elementForNewNodes(const ModelDocument& document, ModelDocument& addition, int element) {
    if (document.elements.empty()) {
        addition.elements.push_back({});
        return 0;
    }
    return std::clamp(element, 0, static_cast<int>(document.elements.size()) - 1);
}

// Records added at the ends of the document's tables.
class AppendEdit : public ModelEdit {
public:
    AppendEdit(ModelSession& session, const QString& text, ModelDocument addition)
        : ModelEdit(session, text), addition_(std::move(addition)) {}
    void redo() override {
        ModelDocument& target = document();
        append(target.elements, addition_.elements);
        append(target.nodes, addition_.nodes);
        append(target.links, addition_.links);
        append(target.elementLinks, addition_.elementLinks);
        changed();
    }
    void undo() override {
        ModelDocument& target = document();
        truncate(target.elementLinks, addition_.elementLinks);
        truncate(target.links, addition_.links);
        truncate(target.nodes, addition_.nodes);
        truncate(target.elements, addition_.elements);
        changed();
    }

private:
    template <class Record>
    static void append(std::vector<Record>& to, const std::vector<Record>& records) {
        to.insert(to.end(), records.begin(), records.end());
    }
    template <class Record>
    static void truncate(std::vector<Record>& from, const std::vector<Record>& records) {
        from.resize(from.size() - records.size());
    }
    ModelDocument addition_;
};

// Records changed in place, each kept as it was and as it becomes.
template <class Record>
class RecordChanges {
public:
    // The record as it will be, taken from `records` on first touch.
    Record& touch(const std::vector<Record>& records, std::size_t index) {
        const auto found = std::find(indices_.begin(), indices_.end(), index);
        if (found != indices_.end())
            return after_[static_cast<std::size_t>(found - indices_.begin())];
        indices_.push_back(index);
        before_.push_back(records[index]);
        after_.push_back(records[index]);
        return after_.back();
    }
    void apply(std::vector<Record>& records, bool forward) const {
        const std::vector<Record>& values = forward ? after_ : before_;
        for (std::size_t i = 0; i < indices_.size(); ++i)
            records[indices_[i]] = values[i];
    }
    bool empty() const { return indices_.empty(); }

private:
    std::vector<std::size_t> indices_;
    std::vector<Record> before_;
    std::vector<Record> after_;
};

class ChangeEdit : public ModelEdit {
public:
    ChangeEdit(ModelSession& session, const QString& text, const ModelDocument& document)
        : ModelEdit(session, text), document_(document), flagBefore_(document.flagged),
          flagAfter_(document.flagged) {}
    EditorNode& node(int index) { return nodes_.touch(document_.nodes, static_cast<std::size_t>(index)); }
    EditorLink& link(std::size_t index) { return links_.touch(document_.links, index); }
    EditorElement& element(int index) {
        return elements_.touch(document_.elements, static_cast<std::size_t>(index));
    }
    void setFlag(int node) { flagAfter_ = node; }
    bool empty() const {
        return nodes_.empty() && links_.empty() && elements_.empty() && flagBefore_ == flagAfter_;
    }

    void redo() override { apply(true); }
    void undo() override { apply(false); }

private:
    void apply(bool forward) {
        ModelDocument& target = document();
        nodes_.apply(target.nodes, forward);
        links_.apply(target.links, forward);
        elements_.apply(target.elements, forward);
        target.flagged = forward ? flagAfter_ : flagBefore_;
        changed();
    }
    const ModelDocument& document_; // read while the edit is built only
    RecordChanges<EditorNode> nodes_;
    RecordChanges<EditorLink> links_;
    RecordChanges<EditorElement> elements_;
    int flagBefore_;
    int flagAfter_;
};

class ReplaceEdit : public ModelEdit {
public:
    ReplaceEdit(ModelSession& session, const QString& text, ModelDocument before, ModelDocument after)
        : ModelEdit(session, text), before_(std::move(before)), after_(std::move(after)) {}
    void redo() override {
        document() = after_;
        changed();
    }
    void undo() override {
        document() = before_;
        changed();
    }

private:
    const ModelDocument before_;
    const ModelDocument after_;
};

} // namespace

// ---------------------------------------------------------------- appending

int ModelSession::addNode(double x, double y, int element) {
    ModelDocument addition;
    element = elementForNewNodes(document_, addition, element);
    addition.nodes.push_back(EditorNode{document_.freshNodeId(), {x, y, 0.0}, false, 1.0, 0.0, 0.0, element});
    undoStack_->push(new AppendEdit(*this, tr("Add node"), std::move(addition)));
    return static_cast<int>(document_.nodes.size()) - 1;
}

void ModelSession::addSpring(int a, int b, double stiffness) {
    if (a == b || !isNode(document_, a) || !isNode(document_, b) || document_.springBetween(a, b))
        return;
    ModelDocument addition;
    addition.links = {{a, b, stiffness}, {b, a, stiffness}};
    undoStack_->push(new AppendEdit(*this, tr("Add spring"), std::move(addition)));
}

void ModelSession::addElementLink(int first, int second, double stiffness) {
    if (first == second || !isNode(document_, first) || !isNode(document_, second))
        return;
    ModelDocument addition;
    addition.elementLinks.push_back(
        {document_.nodes[static_cast<std::size_t>(second)].element, first, second, stiffness});
    undoStack_->push(new AppendEdit(*this, tr("Add one-way link"), std::move(addition)));
}

int ModelSession::newElement() {
    ModelDocument addition;
    addition.elements.push_back({});
    undoStack_->push(new AppendEdit(*this, tr("New element"), std::move(addition)));
    return static_cast<int>(document_.elements.size()) - 1;
}

std::vector<int> ModelSession::insertNodes(std::vector<EditorNode> nodes, std::vector<EditorLink> links,
                                           int element, double dx, double dy, const QString& text) {
    if (nodes.empty())
        return {};
    ModelDocument addition;
    element = elementForNewNodes(document_, addition, element);
    const int first = static_cast<int>(document_.nodes.size());
    const std::vector<std::string> ids = document_.freshNodeIds(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        nodes[i].id = ids[i];
        nodes[i].element = element;
        nodes[i].position.x += dx;
        nodes[i].position.y += dy;
    }
    for (EditorLink& link : links) {
        link.node += first;
        link.other += first;
    }
    std::vector<int> added(nodes.size());
    for (std::size_t i = 0; i < added.size(); ++i)
        added[i] = first + static_cast<int>(i);
    addition.nodes = std::move(nodes);
    addition.links = std::move(links);
    undoStack_->push(new AppendEdit(*this, text, std::move(addition)));
    return added;
}

// ----------------------------------------------------------------- changing

void ModelSession::toggleFixed(const std::vector<int>& nodes) {
    auto edit = std::make_unique<ChangeEdit>(*this, tr("Toggle fixed"), document_);
    for (int index : nodes)
        if (isNode(document_, index))
            edit->node(index).fixed = !document_.nodes[static_cast<std::size_t>(index)].fixed;
    if (!edit->empty())
        undoStack_->push(edit.release());
}

void ModelSession::setFlag(int node) {
    if (!isNode(document_, node))
        return;
    auto edit = std::make_unique<ChangeEdit>(*this, tr("Set flag"), document_);
    edit->setFlag(node);
    if (!edit->empty())
        undoStack_->push(edit.release());
}

void ModelSession::moveNodes(const std::vector<int>& nodes, double dx, double dy) {
    if (dx == 0.0 && dy == 0.0)
        return;
    auto edit = std::make_unique<ChangeEdit>(
        *this,
        nodes.size() == 1 ? tr("Move node") : tr("Move %n nodes", nullptr, static_cast<int>(nodes.size())),
        document_);
    for (int index : nodes)
        if (isNode(document_, index)) {
            EditorNode& node = edit->node(index);
            node.position.x += dx;
            node.position.y += dy;
        }
    if (!edit->empty())
        undoStack_->push(edit.release());
}

void ModelSession::moveElement(int element, double dx, double dy) {
    if (!isElement(document_, element))
        return;
    auto edit = std::make_unique<ChangeEdit>(*this, tr("Move element"), document_);
    EditorElement& moved = edit->element(element);
    moved.origin.x += dx;
    moved.origin.y += dy;
    for (std::size_t i = 0; i < document_.nodes.size(); ++i)
        if (document_.nodes[i].element == element) {
            EditorNode& node = edit->node(static_cast<int>(i));
            node.position.x += dx;
            node.position.y += dy;
        }
    undoStack_->push(edit.release());
}

bool ModelSession::setNodeField(NodeField field, const std::vector<int>& nodes, double value) {
    if (fieldRefusal(field, value) != nullptr)
        return false;
    auto edit = std::make_unique<ChangeEdit>(*this, tr("Set %1").arg(QString::fromLatin1(fieldName(field))),
                                             document_);
    for (int index : nodes) {
        if (!isNode(document_, index))
            continue;
        EditorNode& node = edit->node(index);
        switch (field) {
        case NodeField::X:
            node.position.x = value;
            break;
        case NodeField::Y:
            node.position.y = value;
            break;
        case NodeField::Mass:
            node.mass = value;
            break;
        case NodeField::X0:
            node.x0 = value;
            break;
        case NodeField::V0:
            node.v0 = value;
            break;
        default:
            return false; // not a node's value
        }
    }
    if (edit->empty())
        return false;
    undoStack_->push(edit.release());
    return true;
}

bool ModelSession::setStiffness(int a, int b, double value) {
    if (fieldRefusal(NodeField::Stiffness, value) != nullptr)
        return false;
    auto edit = std::make_unique<ChangeEdit>(*this, tr("Set stiffness"), document_);
    for (std::size_t i = 0; i < document_.links.size(); ++i) {
        const EditorLink& link = document_.links[i];
        if ((link.node == a && link.other == b) || (link.node == b && link.other == a))
            edit->link(i).stiffness = value;
    }
    if (edit->empty())
        return false;
    undoStack_->push(edit.release());
    return true;
}

bool ModelSession::setOrigin(int element, double x, double y) {
    if (!isElement(document_, element) || fieldRefusal(NodeField::OriginX, x) != nullptr ||
        fieldRefusal(NodeField::OriginY, y) != nullptr)
        return false;
    auto edit = std::make_unique<ChangeEdit>(*this, tr("Move origin"), document_);
    edit->element(element).origin = {x, y, document_.elements[static_cast<std::size_t>(element)].origin.z};
    undoStack_->push(edit.release());
    return true;
}

// ----------------------------------------------------------------- removing

void ModelSession::deleteNodes(const std::vector<int>& nodes, const QString& text) {
    if (std::none_of(nodes.begin(), nodes.end(), [this](int index) { return isNode(document_, index); }))
        return;
    ModelDocument after = document_;
    after.removeNodes(nodes);
    undoStack_->push(
        new ReplaceEdit(*this, text.isEmpty() ? tr("Delete") : text, document_, std::move(after)));
}

void ModelSession::deleteSpring(int a, int b) {
    if (!document_.springBetween(a, b))
        return;
    ModelDocument after = document_;
    std::erase_if(after.links, [a, b](const EditorLink& link) {
        return (link.node == a && link.other == b) || (link.node == b && link.other == a);
    });
    undoStack_->push(new ReplaceEdit(*this, tr("Delete spring"), document_, std::move(after)));
}

void ModelSession::deleteElement(int element) {
    if (!isElement(document_, element))
        return;
    ModelDocument after = document_;
    after.removeElement(element);
    undoStack_->push(new ReplaceEdit(*this, tr("Delete element"), document_, std::move(after)));
}

void ModelSession::replace(ModelDocument replacement, const QString& text) {
    undoStack_->push(new ReplaceEdit(*this, text, document_, std::move(replacement)));
    emit reset();
}

bool ModelSession::newFromTemplate(Template shape, int size, int columns) {
    if (!maybeSave())
        return false;
    switch (shape) {
    case Template::PluckedString:
        replace(ModelDocument::fromRepresentation(InstrumentKit::makeString(std::max(size, 1))),
                tr("New string"));
        break;
    case Template::Membrane:
        replace(ModelDocument::fromRepresentation(
                    InstrumentKit::makeMembrane(std::max(size, 3), std::max(columns, 3))),
                tr("New membrane"));
        break;
    case Template::FreeBar:
        replace(ModelDocument::fromRepresentation(InstrumentKit::makeFreeBar(std::max(size, 3))),
                tr("New free bar"));
        break;
    case Template::CoupledElements:
        replace(ModelDocument::fromRepresentation(InstrumentKit::makeCoupledStrings(std::max(size, 1))),
                tr("New coupled elements"));
        break;
    }
    return true;
}

} // namespace kivora
