// Nodes taken out of a model with the springs among them: what Cut and Copy
// put on the clipboard and what Paste and Duplicate insert. On the clipboard it
// is JSON text, so that it survives between runs of the program and can be
// read in a text editor.
#pragma once

#include "session/ModelDocument.h"

#include <QByteArray>
#include <optional>
#include <vector>

namespace kivora {

struct ModelFragment {
    // Positions and parameters; the ids and the element are the receiver's.
    std::vector<EditorNode> nodes;
    // Each node's own links to others of the fragment, as indices into nodes.
    std::vector<EditorLink> links;

    bool empty() const { return nodes.empty(); }

    // The given nodes (any order, repeats allowed) and the links between two
    // of them; links to nodes left out are dropped, and so is the flag.
    static ModelFragment of(const ModelDocument& document, std::vector<int> indices);

    // {"kivora_fragment": 1, "nodes": [{"x", "y", "z", "fixed", "mass", "x0", "v0"}],
    //  "links": [{"node", "other", "stiffness"}]}
    QByteArray toJson() const;
    // Nothing when the text is not a fragment or a value is out of range.
    static std::optional<ModelFragment> fromJson(const QByteArray& text);
};

} // namespace kivora
