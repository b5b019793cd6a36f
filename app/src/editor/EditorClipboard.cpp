#include "editor/EditorClipboard.h"

#include "editor/ModelCanvas.h"
#include "editor/ModelEditorPane.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <cmath>

namespace kivora {

EditorClipboard::EditorClipboard(ModelEditorPane* editor) : QObject(editor), editor_(editor) {
    auto make = [this](const QString& text, QList<QKeySequence> keys, const QString& tip,
                       void (EditorClipboard::*slot)()) {
        auto* action = new QAction(text, this);
        // The first is the one the menu shows.
        action->setShortcuts(keys);
        // Only while the focus is in the editor: elsewhere these keys are not the model's.
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        action->setStatusTip(tip);
        connect(action, &QAction::triggered, this, slot);
        editor_->addAction(action);
        return action;
    };
    // Besides the letters, the keys of the older convention: Shift+Delete,
    // Ctrl+Insert and Shift+Insert.
    cut_ = make(tr("Cu&t"), {Qt::CTRL | Qt::Key_X, Qt::SHIFT | Qt::Key_Delete},
                tr("Remove the selected nodes and their springs, keeping them on the clipboard"),
                &EditorClipboard::cut);
    copy_ = make(tr("&Copy"), {Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_Insert},
                 tr("Copy the selected nodes and the springs between them"), &EditorClipboard::copy);
    paste_ = make(tr("&Paste"), {Qt::CTRL | Qt::Key_V, Qt::SHIFT | Qt::Key_Insert},
                  tr("Insert the copied nodes into the current element"), &EditorClipboard::paste);
    duplicate_ =
        make(tr("&Duplicate"), {Qt::CTRL | Qt::Key_D},
             tr("Copy the selected nodes and their springs beside them"), &EditorClipboard::duplicate);

    connect(editor_, &ModelEditorPane::selectionChanged, this, &EditorClipboard::updateActions);
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        connect(clipboard, &QClipboard::dataChanged, this, [this] {
            clipboardHoldsFragment_ = clipboardFragment().has_value();
            updateActions();
        });
    clipboardHoldsFragment_ = clipboardFragment().has_value();
    updateActions();
}

void EditorClipboard::updateActions() {
    const bool nodes = !editor_->selection().empty();
    cut_->setEnabled(nodes);
    copy_->setEnabled(nodes);
    duplicate_->setEnabled(nodes);
    paste_->setEnabled(clipboardHoldsFragment_);
}

std::optional<ModelFragment> EditorClipboard::clipboardFragment() {
    const QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard != nullptr ? clipboard->mimeData() : nullptr;
    if (data == nullptr)
        return std::nullopt;
    const QString mime = QString::fromLatin1(kMimeType);
    if (data->hasFormat(mime))
        return ModelFragment::fromJson(data->data(mime));
    // Text pasted from elsewhere is taken when it is a fragment.
    return data->hasText() ? ModelFragment::fromJson(data->text().toUtf8()) : std::nullopt;
}

void EditorClipboard::copy() {
    const ModelFragment fragment = ModelFragment::of(editor_->document(), editor_->selection());
    if (fragment.empty())
        return;
    const QByteArray json = fragment.toJson();
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kMimeType), json);
    data->setText(QString::fromUtf8(json));
    QGuiApplication::clipboard()->setMimeData(data);
    // Platforms that do not signal their own changes still enable Paste.
    clipboardHoldsFragment_ = true;
    updateActions();
}

void EditorClipboard::cut() {
    if (editor_->selection().empty())
        return;
    copy();
    editor_->deleteNodes(editor_->selection(), tr("Cut"));
}

void EditorClipboard::paste() {
    if (const auto fragment = clipboardFragment())
        insert(*fragment, 0, tr("Paste"));
}

void EditorClipboard::duplicate() {
    const ModelFragment fragment = ModelFragment::of(editor_->document(), editor_->selection());
    if (!fragment.empty())
        insert(fragment, 1, tr("Duplicate"));
}

void EditorClipboard::insert(const ModelFragment& fragment, int firstStep, const QString& text) {
    const double step = editor_->canvas()->gridStep();
    const InstrumentKit::Vec3 first = fragment.nodes.front().position;
    auto covered = [&](int steps) {
        const double x = first.x + steps * step, y = first.y - steps * step;
        for (const EditorNode& node : editor_->document().nodes)
            if (std::abs(node.position.x - x) < step * 1e-6 && std::abs(node.position.y - y) < step * 1e-6)
                return true;
        return false;
    };
    // Bounded, in case a model covers every step of the diagonal.
    constexpr int kMaxSteps = 1000;
    int steps = firstStep;
    while (steps < kMaxSteps && covered(steps))
        ++steps;
    editor_->insertFragment(fragment, steps * step, -steps * step, text);
}

} // namespace kivora
