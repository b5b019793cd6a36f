#include "editor/ModelFragment.h"

#include <modelkit/ModelFile.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

namespace kivora {

namespace {

constexpr int kFormatVersion = 1;

} // namespace

ModelFragment ModelFragment::of(const ModelDocument& document, std::vector<int> indices) {
    const int count = static_cast<int>(document.nodes.size());
    std::erase_if(indices, [count](int index) { return index < 0 || index >= count; });
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    std::vector<int> fragmentIndex(document.nodes.size(), -1);
    ModelFragment fragment;
    for (int index : indices) {
        fragmentIndex[static_cast<std::size_t>(index)] = static_cast<int>(fragment.nodes.size());
        EditorNode node = document.nodes[static_cast<std::size_t>(index)];
        node.id.clear();
        node.element = 0;
        fragment.nodes.push_back(std::move(node));
    }
    for (const EditorLink& link : document.links) {
        const int node = fragmentIndex[static_cast<std::size_t>(link.node)];
        const int other = fragmentIndex[static_cast<std::size_t>(link.other)];
        if (node >= 0 && other >= 0)
            fragment.links.push_back({node, other, link.stiffness});
    }
    return fragment;
}

QByteArray ModelFragment::toJson() const {
    QJsonArray nodeArray;
    for (const EditorNode& node : nodes)
        nodeArray.append(QJsonObject{{QStringLiteral("x"), node.position.x},
                                     {QStringLiteral("y"), node.position.y},
                                     {QStringLiteral("z"), node.position.z},
                                     {QStringLiteral("fixed"), node.fixed},
                                     {QStringLiteral("mass"), node.mass},
                                     {QStringLiteral("x0"), node.x0},
                                     {QStringLiteral("v0"), node.v0}});
    QJsonArray linkArray;
    for (const EditorLink& link : links)
        linkArray.append(QJsonObject{{QStringLiteral("node"), link.node},
                                     {QStringLiteral("other"), link.other},
                                     {QStringLiteral("stiffness"), link.stiffness}});
    const QJsonObject root{{QStringLiteral("kivora_fragment"), kFormatVersion},
                           {QStringLiteral("nodes"), nodeArray},
                           {QStringLiteral("links"), linkArray}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

std::optional<ModelFragment> ModelFragment::fromJson(const QByteArray& text) {
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return std::nullopt;
    const QJsonObject root = json.object();
    if (root.value(QStringLiteral("kivora_fragment")).toInt() != kFormatVersion)
        return std::nullopt;
    // A missing or mistyped number reads as NaN and is refused below.
    auto number = [](const QJsonObject& object, const char* key, double absent) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return absent;
        return value.isDouble() ? value.toDouble() : std::nan("");
    };
    ModelFragment fragment;
    for (const QJsonValue& value : root.value(QStringLiteral("nodes")).toArray()) {
        const QJsonObject object = value.toObject();
        EditorNode node;
        node.position = {number(object, "x", std::nan("")), number(object, "y", std::nan("")),
                         number(object, "z", 0.0)};
        node.fixed = object.value(QStringLiteral("fixed")).toBool(false);
        node.mass = number(object, "mass", 1.0);
        node.x0 = number(object, "x0", 0.0);
        node.v0 = number(object, "v0", 0.0);
        for (double finite : {node.position.x, node.position.y, node.position.z, node.x0, node.v0})
            if (InstrumentKit::numberRefusal(finite) != nullptr)
                return std::nullopt;
        if (InstrumentKit::massRefusal(node.mass) != nullptr)
            return std::nullopt;
        fragment.nodes.push_back(std::move(node));
    }
    const int count = static_cast<int>(fragment.nodes.size());
    for (const QJsonValue& value : root.value(QStringLiteral("links")).toArray()) {
        const QJsonObject object = value.toObject();
        const int node = object.value(QStringLiteral("node")).toInt(-1);
        const int other = object.value(QStringLiteral("other")).toInt(-1);
        const double stiffness = number(object, "stiffness", std::nan(""));
        if (node < 0 || other < 0 || node >= count || other >= count || node == other ||
            InstrumentKit::numberRefusal(stiffness) != nullptr)
            return std::nullopt;
        fragment.links.push_back({node, other, stiffness});
    }
    if (fragment.empty())
        return std::nullopt;
    return fragment;
}

} // namespace kivora
