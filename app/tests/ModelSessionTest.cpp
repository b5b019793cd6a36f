// The model session's edits without any widget: each is one undo step that
// takes the model back exactly as it was, and redo gives exactly its result.
#include "session/ModelSession.h"

#include <modelkit/ModelFile.h>

#include <QUndoStack>
#include <functional>
#include <gtest/gtest.h>
#include <limits>

namespace kivora {
namespace {

// Nodes n1 (fixed), n2 (flagged) and n3 at x = 0, 1, 2; springs n1-n2 (400) and n2-n3 (900).
void buildTwoMassModel(ModelSession& session) {
    for (double x : {0.0, 1.0, 2.0})
        session.addNode(x, 0.0, 0);
    session.addSpring(0, 1, 400.0);
    session.addSpring(1, 2, 900.0);
    session.toggleFixed({0});
    session.setFlag(1);
}

struct Edit {
    const char* name;
    std::function<void(ModelSession&)> apply;
    // What the edit leaves, checked on the document; no step when null.
    std::function<bool(const ModelDocument&)> result;
};

const Edit kEdits[] = {
    {"add node", [](ModelSession& s) { s.addNode(0.5, 0.25, 0); },
     [](const ModelDocument& d) { return d.nodes.size() == 4 && d.nodes[3].id == "n4"; }},
    {"add spring", [](ModelSession& s) { s.addSpring(0, 2, 50.0); },
     [](const ModelDocument& d) { return d.springBetween(2, 0) == 50.0 && d.links.size() == 6; }},
    {"add one-way link", [](ModelSession& s) { s.addElementLink(0, 2, 25.0); },
     [](const ModelDocument& d) { return d.elementLinks.size() == 1 && d.elementLinks[0].second == 2; }},
    {"toggle fixed",
     [](ModelSession& s) {
         s.toggleFixed({0, 2});
     },
     [](const ModelDocument& d) { return !d.nodes[0].fixed && d.nodes[2].fixed; }},
    {"move flag", [](ModelSession& s) { s.setFlag(2); },
     [](const ModelDocument& d) { return d.flagged == 2; }},
    // Undo restores the positions, not subtracts the move: 1 + 1e-16 is 1, 1 - 1e-16 is not.
    {"move nodes",
     [](ModelSession& s) {
         s.moveNodes({1, 2}, 1e-16, 0.7);
     },
     [](const ModelDocument& d) { return d.nodes[2].position.y == 0.7 && d.nodes[0].position.y == 0.0; }},
    {"delete node", [](ModelSession& s) { s.deleteNodes({1}); },
     [](const ModelDocument& d) { return d.nodes.size() == 2 && d.links.empty() && d.flagged == -1; }},
    {"delete spring", [](ModelSession& s) { s.deleteSpring(2, 1); },
     [](const ModelDocument& d) { return !d.springBetween(1, 2) && d.springBetween(0, 1); }},
    {"new element", [](ModelSession& s) { s.newElement(); },
     [](const ModelDocument& d) { return d.elements.size() == 2 && d.nodes.size() == 3; }},
    {"delete element", [](ModelSession& s) { s.deleteElement(0); },
     [](const ModelDocument& d) { return d.empty(); }},
    {"move element", [](ModelSession& s) { s.moveElement(0, 1.0, -1.0); },
     [](const ModelDocument& d) { return d.elements[0].origin.y == -1.0 && d.nodes[2].position.x == 3.0; }},
    {"insert nodes",
     [](ModelSession& s) {
         s.insertNodes(ModelDocument(s.document()).nodes, {{0, 1, 70.0}}, 0, 0.0, 3.0, "Paste");
     },
     [](const ModelDocument& d) {
         return d.nodes.size() == 6 && d.nodes[5].id == "n6" && d.springBetween(3, 4);
     }},
    {"set mass",
     [](ModelSession& s) {
         s.setNodeField(NodeField::Mass, {1, 2}, 2.5);
     },
     [](const ModelDocument& d) { return d.nodes[1].mass == 2.5 && d.nodes[2].mass == 2.5; }},
    {"set stiffness", [](ModelSession& s) { s.setStiffness(1, 2, 1600.0); },
     [](const ModelDocument& d) {
         return d.springBetween(2, 1) == 1600.0 && d.springBetween(0, 1) == 400.0;
     }},
    {"set origin", [](ModelSession& s) { s.setOrigin(0, 0.5, 0.0); },
     [](const ModelDocument& d) { return d.elements[0].origin.x == 0.5 && d.nodes[1].position.x == 1.0; }},
    {"template", [](ModelSession& s) { s.newFromTemplate(ModelSession::Template::FreeBar, 12); },
     [](const ModelDocument& d) { return d.nodes.size() == 12 && d.nodes[0].id == "b0"; }},
    // Refused or empty: no step.
    {"spring twice", [](ModelSession& s) { s.addSpring(1, 0, 5.0); }, nullptr},
    {"flag unchanged", [](ModelSession& s) { s.setFlag(1); }, nullptr},
    {"no move", [](ModelSession& s) { s.moveNodes({1}, 0.0, 0.0); }, nullptr},
    {"negative mass", [](ModelSession& s) { s.setNodeField(NodeField::Mass, {1}, -1.0); }, nullptr},
    {"infinite x0",
     [](ModelSession& s) { s.setNodeField(NodeField::X0, {1}, std::numeric_limits<double>::infinity()); },
     nullptr},
    {"no such spring", [](ModelSession& s) { s.setStiffness(0, 2, 10.0); }, nullptr},
    {"no such node", [](ModelSession& s) { s.deleteNodes({7}); }, nullptr},
};

TEST(ModelSession, EveryEditIsOneStepThatUndoesAndRedoesExactly) {
    for (const Edit& edit : kEdits) {
        SCOPED_TRACE(edit.name);
        ModelSession session;
        session.setUnsavedPrompt([](QWidget*, const QString&) { return UnsavedAnswer::Discard; });
        buildTwoMassModel(session);
        const InstrumentKit::Representation* shared = &session.representation();
        const std::string before = InstrumentKit::saveModel(session.representation());
        const int steps = session.undoStack()->count();
        edit.apply(session);
        if (!edit.result) {
            EXPECT_EQ(session.undoStack()->count(), steps);
            EXPECT_EQ(InstrumentKit::saveModel(session.representation()), before);
            continue;
        }
        ASSERT_EQ(session.undoStack()->count(), steps + 1);
        EXPECT_TRUE(edit.result(session.document()));
        const std::string after = InstrumentKit::saveModel(session.representation());
        session.undoStack()->undo();
        EXPECT_EQ(InstrumentKit::saveModel(session.representation()), before);
        session.undoStack()->redo();
        EXPECT_EQ(InstrumentKit::saveModel(session.representation()), after);
        EXPECT_EQ(&session.representation(), shared); // the drawer's pointer stays valid
    }
}

TEST(ModelSession, UndoingEveryStepLeavesAnEmptyModel) {
    ModelSession session;
    buildTwoMassModel(session);
    EXPECT_EQ(session.undoStack()->count(), 7);
    EXPECT_EQ(session.representation().findNode("n2"), session.representation().flagged);
    while (session.undoStack()->canUndo())
        session.undoStack()->undo();
    EXPECT_TRUE(session.document().empty());
    EXPECT_EQ(session.representation().nodeCount(), 0u);
}

} // namespace
} // namespace kivora
