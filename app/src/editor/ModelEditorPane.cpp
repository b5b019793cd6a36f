#include "editor/ModelEditorPane.h"

#include "common/EngineGuard.h"
#include "editor/EditorClipboard.h"
#include "editor/ModalPreviewWorker.h"
#include "editor/ModelCanvas.h"
#include "editor/ModelFragment.h"

#include <kivora/GenerationRules.h>
#include <kivora/NoteTuning.h>
#include <muntero/ModelSnapshot.h>

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace kivora {

namespace {

QString formatNumber(double value) {
    return QLocale::c().toString(value, 'g', 10);
}

// Keeps the side column of a splitter at most half the splitter's width:
// the canvas keeps the larger part at every size. The column takes the width
// the user last dragged it to (maxWidth at first) as far as that limit allows.
// The column is a splitter too, which takes its maximum from its panes: the
// limit goes on them.
class HalfWidthLimit : public QObject {
public:
    HalfWidthLimit(QSplitter* split, QSplitter* column, int maxWidth)
        : QObject(column), split_(split), column_(column), maxWidth_(maxWidth), preferredWidth_(maxWidth) {
        split->installEventFilter(this);
        connect(split, &QSplitter::splitterMoved, this,
                [this] { preferredWidth_ = split_->sizes().value(1); });
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize) {
            const int limit = std::clamp(split_->width() / 2 - split_->handleWidth(), 0, maxWidth_);
            for (int i = 0; i < column_->count(); ++i)
                column_->widget(i)->setMaximumWidth(limit);
            // The splitter itself would keep the column's earlier width.
            const int width = std::min(limit, preferredWidth_);
            if (split_->sizes().value(1) != width)
                split_->setSizes({split_->width() - split_->handleWidth() - width, width});
        }
        return false;
    }

private:
    QSplitter* split_;
    QSplitter* column_;
    int maxWidth_;
    int preferredWidth_;
};

} // namespace

ModelEditorPane::ModelEditorPane(ModelSession& session, QWidget* parent)
    : QWidget(parent), session_(session) {
    setObjectName(QStringLiteral("ModelEditorPane"));
    setFocusPolicy(Qt::NoFocus);

    canvas_ = new ModelCanvas(this);

    // Tools: no shortcuts of their own, since letters and digits play the piano.
    auto* tools = new QToolBar(this);
    tools->setObjectName(QStringLiteral("editorTools"));
    // Tight, so that every tool fits in half of a 1024-pixel window.
    tools->layout()->setSpacing(0);
    tools->layout()->setContentsMargins(0, 0, 0, 0);
    auto* group = new QActionGroup(this);
    auto addTool = [&](const QString& text, ModelCanvas::Tool tool, const QString& tip) {
        QAction* action = tools->addAction(text);
        action->setToolTip(tip);
        action->setCheckable(true);
        action->setChecked(tool == ModelCanvas::Tool::Select);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, tool] { canvas_->setTool(tool); });
        connect(canvas_, &ModelCanvas::toolChanged, action,
                [this, action, tool] { action->setChecked(canvas_->tool() == tool); });
    };
    addTool(tr("Select"), ModelCanvas::Tool::Select,
            tr("Click a node or a spring to edit it in the panel; Shift+click adds nodes. Drag the selection "
               "to move it, or drag across empty space to select the nodes inside the box."));
    addTool(tr("Node"), ModelCanvas::Tool::AddNode,
            tr("Click on the canvas to place a mass there, in the current element."));
    addTool(tr("Spring"), ModelCanvas::Tool::AddSpring,
            tr("Drag from one node to another to join them with a spring acting on both."));
    addTool(tr("One-way link"), ModelCanvas::Tool::AddElementLink,
            tr("Drag from one node to another: the link pulls only the node where the drag ends."));
    addTool(tr("Fix"), ModelCanvas::Tool::ToggleFixed,
            tr("Click a node to fix it in place or to free it again."));
    addTool(tr("Flag"), ModelCanvas::Tool::SetFlag,
            tr("Click the node whose motion is heard: the flag marks where the sound is taken."));
    tools->addSeparator();
    auto addCommand = [&](const QString& text, const QString& tip) {
        QAction* action = tools->addAction(text);
        action->setToolTip(tip);
        return action;
    };
    connect(
        addCommand(tr("Delete"), tr("Remove the selected nodes with their springs, or the selected spring "
                                    "(also the Delete key).")),
        &QAction::triggered, this, &ModelEditorPane::deleteSelection);
    connect(addCommand(tr("Fit"), tr("Zoom and scroll so that the whole model fills the canvas; it then "
                                     "follows the canvas's size until you zoom, pan or draw.")),
            &QAction::triggered, canvas_, &ModelCanvas::resetView);
    QAction* grid = addCommand(tr("Grid"), tr("Show or hide the grid lines behind the model."));
    grid->setCheckable(true);
    grid->setChecked(true);
    connect(grid, &QAction::toggled, canvas_, &ModelCanvas::setGridVisible);
    QAction* snap =
        addCommand(tr("Snap"), tr("When on, placed and moved nodes land on the nearest grid crossing."));
    snap->setCheckable(true);
    connect(snap, &QAction::toggled, canvas_, &ModelCanvas::setSnapToGrid);

    // Properties of the selection.
    auto* properties = new QWidget(this);
    auto* form = new QGridLayout(properties);
    form->setContentsMargins(4, 4, 4, 4);
    selectionLabel_ = new QLabel(properties);
    form->addWidget(selectionLabel_, 0, 0, 1, 3);
    int row = 1;
    for (NodeField field : {NodeField::X, NodeField::Y, NodeField::Mass, NodeField::X0, NodeField::V0,
                            NodeField::Stiffness, NodeField::OriginX, NodeField::OriginY}) {
        FieldWidgets& widgets = fields_[static_cast<int>(field)];
        widgets.edit = new QLineEdit(properties);
        widgets.edit->setObjectName(QString::fromLatin1(fieldName(field)));
        // Only a click gives a field the keys; otherwise they play the piano.
        widgets.edit->setFocusPolicy(Qt::ClickFocus);
        widgets.edit->setMinimumWidth(60);
        widgets.edit->setMaximumWidth(110);
        widgets.message = new QLabel(properties);
        widgets.message->setWordWrap(true);
        widgets.message->setStyleSheet(QStringLiteral("color: #b00000"));
        form->addWidget(new QLabel(QString::fromLatin1(fieldName(field)), properties), row, 0);
        form->addWidget(widgets.edit, row, 1);
        form->addWidget(widgets.message, row, 2);
        connect(widgets.edit, &QLineEdit::editingFinished, this, [this, field] {
            if (fields_[static_cast<int>(field)].edit->isModified())
                applyField(field, fields_[static_cast<int>(field)].edit->text());
        });
        ++row;
    }
    fixedBox_ = new QCheckBox(tr("Fixed"), properties);
    fixedBox_->setFocusPolicy(Qt::NoFocus);
    form->addWidget(fixedBox_, row, 1);
    form->setRowStretch(row + 1, 1);
    form->setColumnStretch(1, 1);
    connect(fixedBox_, &QCheckBox::clicked, this, [this](bool fixed) {
        std::vector<int> change;
        for (int index : selection_)
            if (session_.document().nodes[static_cast<std::size_t>(index)].fixed != fixed)
                change.push_back(index);
        session_.toggleFixed(change);
    });

    // Elements.
    auto* elementsBox = new QWidget(this);
    auto* elementsLayout = new QVBoxLayout(elementsBox);
    elementsLayout->setContentsMargins(4, 4, 4, 4);
    elementList_ = new QListWidget(elementsBox);
    elementList_->setFocusPolicy(Qt::NoFocus);
    connect(elementList_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row != currentElement_)
            setCurrentElement(row);
    });
    auto* elementButtons = new QHBoxLayout;
    auto* addElementButton = new QPushButton(tr("New element"), elementsBox);
    auto* deleteElementButton = new QPushButton(tr("Delete element"), elementsBox);
    for (QPushButton* button : {addElementButton, deleteElementButton})
        button->setFocusPolicy(Qt::NoFocus);
    connect(addElementButton, &QPushButton::clicked, this, &ModelEditorPane::newElement);
    connect(deleteElementButton, &QPushButton::clicked, this, [this] {
        setSelection({});
        session_.deleteElement(currentElement_);
    });
    elementButtons->addWidget(addElementButton);
    elementButtons->addWidget(deleteElementButton);
    elementsLayout->addWidget(new QLabel(tr("Elements"), elementsBox));
    elementsLayout->addWidget(elementList_);
    elementsLayout->addLayout(elementButtons);

    // Modal preview.
    auto* previewBox = new QWidget(this);
    auto* previewLayout = new QVBoxLayout(previewBox);
    previewLayout->setContentsMargins(4, 4, 4, 4);
    // Two rows: in a column of 250 pixels (the pane at 1024 pixels) one row
    // would squeeze the caption.
    auto* previewSettings = new QGridLayout;
    octavesBox_ = new QComboBox(previewBox);
    for (int octaves = 0; octaves <= 3; ++octaves)
        octavesBox_->addItem(QString::number(octaves), octaves);
    octavesBox_->setCurrentIndex(previewOctaves_);
    rateBox_ = new QComboBox(previewBox);
    for (int rate : {8000, 11025, 22050, 44100, 48000})
        rateBox_->addItem(QString::number(rate), rate);
    rateBox_->setCurrentIndex(3);
    for (QComboBox* box : {octavesBox_, rateBox_}) {
        box->setFocusPolicy(Qt::NoFocus);
        connect(box, &QComboBox::activated, this, [this] {
            setPreviewSettings(octavesBox_->currentData().toInt(), rateBox_->currentData().toInt());
        });
    }
    auto* octavesCaption = new QLabel(tr("Modes — octaves"), previewBox);
    octavesCaption->setObjectName(QStringLiteral("modesCaption"));
    previewSettings->addWidget(octavesCaption, 0, 0);
    previewSettings->addWidget(octavesBox_, 0, 1);
    previewSettings->addWidget(new QLabel(tr("rate"), previewBox), 1, 0, Qt::AlignRight);
    previewSettings->addWidget(rateBox_, 1, 1);
    previewSettings->setColumnStretch(2, 1);
    previewLabel_ = new QLabel(previewBox);
    previewLabel_->setObjectName(QStringLiteral("modalPreview"));
    previewLabel_->setTextFormat(Qt::PlainText);
    previewLabel_->setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 8));
    previewLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    previewWarning_ = new QLabel(previewBox);
    previewWarning_->setWordWrap(true);
    previewWarning_->setStyleSheet(QStringLiteral("color: #b00000"));
    previewLayout->addLayout(previewSettings);
    previewLayout->addWidget(previewLabel_, 1);
    previewLayout->addWidget(previewWarning_);

    auto* side = new QSplitter(Qt::Vertical, this);
    side->addWidget(properties);
    side->addWidget(elementsBox);
    side->addWidget(previewBox);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(canvas_);
    split->addWidget(side);
    // The canvas takes what the side column leaves; the column narrows with
    // the pane and may fold, never taking more than half.
    side->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    new HalfWidthLimit(split, side, 330);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(tools);
    layout->addWidget(split, 1);

    templateMenu_ = new QMenu(tr("New from &Template"), this);
    connect(templateMenu_->addAction(tr("Plucked string...")), &QAction::triggered, this,
            [this] { chooseTemplate(ModelSession::Template::PluckedString); });
    connect(templateMenu_->addAction(tr("Membrane...")), &QAction::triggered, this,
            [this] { chooseTemplate(ModelSession::Template::Membrane); });
    connect(templateMenu_->addAction(tr("Bar free at both ends...")), &QAction::triggered, this,
            [this] { chooseTemplate(ModelSession::Template::FreeBar); });
    connect(templateMenu_->addAction(tr("Two coupled elements...")), &QAction::triggered, this,
            [this] { chooseTemplate(ModelSession::Template::CoupledElements); });

    clipboard_ = new EditorClipboard(this);

    previewWorker_ = std::make_unique<ModalPreviewWorker>(this);
    connect(&session_, &ModelSession::changed, this, &ModelEditorPane::modelChanged);
    connect(&session_, &ModelSession::reset, this, &ModelEditorPane::modelReset);
    modelChanged();
}

ModelEditorPane::~ModelEditorPane() = default;

QList<QAction*> ModelEditorPane::clipboardActions() const {
    return clipboard_->actions();
}

// ------------------------------------------------------------------- edits

int ModelEditorPane::addNode(double x, double y) {
    return session_.addNode(x, y, currentElement_);
}

void ModelEditorPane::deleteNodes(std::vector<int> nodes, const QString& text) {
    setSelection({}); // `nodes` may have been the selection
    session_.deleteNodes(nodes, text);
}

void ModelEditorPane::deleteSelection() {
    if (selectedSpring_) {
        const auto [a, b] = *selectedSpring_;
        setSelection({});
        session_.deleteSpring(a, b);
    } else {
        deleteNodes(selection_);
    }
}

void ModelEditorPane::newElement() {
    setCurrentElement(session_.newElement());
}

std::vector<int> ModelEditorPane::insertFragment(const ModelFragment& fragment, double dx, double dy,
                                                 const QString& text) {
    std::vector<int> added =
        session_.insertNodes(fragment.nodes, fragment.links, currentElement_, dx, dy, text);
    if (!added.empty())
        setSelection(added);
    return added;
}

void ModelEditorPane::modelChanged() {
    const int count = static_cast<int>(session_.document().nodes.size());
    std::erase_if(selection_, [count](int index) { return index >= count; });
    if (selectedSpring_ &&
        (selectedSpring_->second >= count ||
         !session_.document().springBetween(selectedSpring_->first, selectedSpring_->second)))
        selectedSpring_.reset();
    currentElement_ = std::clamp(currentElement_, 0,
                                 std::max(0, static_cast<int>(session_.document().elements.size()) - 1));
    refreshProperties();
    refreshElements();
    canvas_->update();
    requestPreview();
}

void ModelEditorPane::modelReset() {
    selection_.clear();
    selectedSpring_.reset();
    currentElement_ = 0;
    refreshProperties();
    refreshElements();
    canvas_->resetView();
    emit selectionChanged();
}

// --------------------------------------------------------------- selection

void ModelEditorPane::setSelection(std::vector<int> nodes) {
    const int count = static_cast<int>(session_.document().nodes.size());
    std::erase_if(nodes, [count](int index) { return index < 0 || index >= count; });
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    selection_ = std::move(nodes);
    selectedSpring_.reset();
    if (selection_.size() == 1)
        currentElement_ = session_.document().nodes[static_cast<std::size_t>(selection_[0])].element;
    refreshProperties();
    canvas_->update();
    emit selectionChanged();
}

void ModelEditorPane::selectSpring(int a, int b) {
    const int count = static_cast<int>(session_.document().nodes.size());
    if (a == b || a < 0 || b < 0 || a >= count || b >= count || !session_.document().springBetween(a, b))
        return;
    selection_.clear();
    selectedSpring_ = std::minmax(a, b);
    refreshProperties();
    canvas_->update();
    emit selectionChanged();
}

void ModelEditorPane::setCurrentElement(int element) {
    currentElement_ =
        std::clamp(element, 0, std::max(0, static_cast<int>(session_.document().elements.size()) - 1));
    refreshElements();
    refreshProperties();
    canvas_->update();
}

// -------------------------------------------------------------- properties

QLineEdit* ModelEditorPane::fieldEdit(NodeField field) const {
    return fields_[static_cast<int>(field)].edit;
}

QString ModelEditorPane::fieldMessage(NodeField field) const {
    return fields_[static_cast<int>(field)].message->text();
}

bool ModelEditorPane::applyField(NodeField field, const QString& text) {
    QLabel* message = fields_[static_cast<int>(field)].message;
    bool parsed = false;
    // Numbers are typed as in the model file, whatever the user's locale.
    const double value = QLocale::c().toDouble(text.trimmed(), &parsed);
    const char* refusal = parsed ? fieldRefusal(field, value) : "not a number";
    if (refusal != nullptr) {
        message->setText(QString::fromLatin1(refusal));
        return false;
    }
    message->clear();

    if (field == NodeField::OriginX || field == NodeField::OriginY) {
        if (session_.document().elements.empty())
            return false;
        const InstrumentKit::Vec3 origin =
            session_.document().elements[static_cast<std::size_t>(currentElement_)].origin;
        return session_.setOrigin(currentElement_, field == NodeField::OriginX ? value : origin.x,
                                  field == NodeField::OriginY ? value : origin.y);
    }
    if (field == NodeField::Stiffness) {
        std::optional<std::pair<int, int>> spring = selectedSpring_;
        if (!spring && selection_.size() == 2 &&
            session_.document().springBetween(selection_[0], selection_[1]))
            spring = std::make_pair(selection_[0], selection_[1]);
        if (!spring) {
            message->setText(tr("select the two ends of a spring"));
            return false;
        }
        return session_.setStiffness(spring->first, spring->second, value);
    }
    if (selection_.empty()) {
        message->setText(tr("select a node first"));
        return false;
    }
    return session_.setNodeField(field, selection_, value);
}

void ModelEditorPane::refreshProperties() {
    auto show = [this](NodeField field, const QString& text, bool enabled) {
        QLineEdit* edit = fields_[static_cast<int>(field)].edit;
        if (!edit->hasFocus())
            edit->setText(text);
        edit->setEnabled(enabled);
    };
    // A field shows the value the selected nodes share, or stays empty.
    auto common = [this](auto get) -> QString {
        if (selection_.empty())
            return {};
        const double first = get(session_.document().nodes[static_cast<std::size_t>(selection_[0])]);
        for (int index : selection_)
            if (get(session_.document().nodes[static_cast<std::size_t>(index)]) != first)
                return {};
        return formatNumber(first);
    };
    const bool any = !selection_.empty();
    if (selectedSpring_)
        selectionLabel_->setText(
            tr("Spring %1 – %2")
                .arg(QString::fromStdString(
                         session_.document().nodes[static_cast<std::size_t>(selectedSpring_->first)].id),
                     QString::fromStdString(
                         session_.document().nodes[static_cast<std::size_t>(selectedSpring_->second)].id)));
    else if (selection_.size() == 1)
        selectionLabel_->setText(tr("Node %1").arg(
            QString::fromStdString(session_.document().nodes[static_cast<std::size_t>(selection_[0])].id)));
    else if (any)
        selectionLabel_->setText(tr("%1 nodes selected").arg(selection_.size()));
    else
        selectionLabel_->setText(tr("No selection"));
    show(NodeField::X, common([](const EditorNode& n) { return n.position.x; }), any);
    show(NodeField::Y, common([](const EditorNode& n) { return n.position.y; }), any);
    show(NodeField::Mass, common([](const EditorNode& n) { return n.mass; }), any);
    show(NodeField::X0, common([](const EditorNode& n) { return n.x0; }), any);
    show(NodeField::V0, common([](const EditorNode& n) { return n.v0; }), any);
    std::optional<double> spring;
    if (selectedSpring_)
        spring = session_.document().springBetween(selectedSpring_->first, selectedSpring_->second);
    else if (selection_.size() == 2)
        spring = session_.document().springBetween(selection_[0], selection_[1]);
    show(NodeField::Stiffness, spring ? formatNumber(*spring) : QString(), spring.has_value());
    const bool hasElement = !session_.document().elements.empty();
    const InstrumentKit::Vec3 origin =
        hasElement ? session_.document().elements[static_cast<std::size_t>(currentElement_)].origin
                   : InstrumentKit::Vec3{};
    show(NodeField::OriginX, hasElement ? formatNumber(origin.x) : QString(), hasElement);
    show(NodeField::OriginY, hasElement ? formatNumber(origin.y) : QString(), hasElement);
    bool allFixed = any;
    for (int index : selection_)
        allFixed = allFixed && session_.document().nodes[static_cast<std::size_t>(index)].fixed;
    fixedBox_->setEnabled(any);
    fixedBox_->setChecked(allFixed);
}

void ModelEditorPane::refreshElements() {
    std::vector<int> counts(session_.document().elements.size(), 0);
    for (const EditorNode& node : session_.document().nodes)
        if (node.element >= 0 && node.element < static_cast<int>(counts.size()))
            ++counts[static_cast<std::size_t>(node.element)];
    const QSignalBlocker blocker(elementList_);
    elementList_->clear();
    for (std::size_t e = 0; e < counts.size(); ++e)
        elementList_->addItem(tr("Element %1 (%n nodes)", nullptr, counts[e]).arg(e + 1));
    if (!counts.empty())
        elementList_->setCurrentRow(currentElement_);
}

// ------------------------------------------------------------------- keys

void ModelEditorPane::keyPressEvent(QKeyEvent* event) {
    const double step = canvas_->gridStep();
    switch (event->key()) {
    case Qt::Key_Delete:
        deleteSelection();
        break;
    case Qt::Key_Left:
        session_.moveNodes(selection_, -step, 0.0);
        break;
    case Qt::Key_Right:
        session_.moveNodes(selection_, step, 0.0);
        break;
    case Qt::Key_Up:
        session_.moveNodes(selection_, 0.0, step);
        break;
    case Qt::Key_Down:
        session_.moveNodes(selection_, 0.0, -step);
        break;
    case Qt::Key_Escape:
        canvas_->setTool(ModelCanvas::Tool::Select);
        setSelection({});
        break;
    default:
        // Letters, digits and the rest belong to the piano.
        event->ignore();
        return;
    }
    event->accept();
}

// -------------------------------------------------------------- templates

void ModelEditorPane::chooseTemplate(ModelSession::Template shape) {
    QDialog dialog(this);
    dialog.setWindowTitle(tr("New from template"));
    auto* form = new QFormLayout(&dialog);
    auto spin = [&](const QString& label, int low, int high, int value) {
        auto* box = new QSpinBox(&dialog);
        box->setRange(low, high);
        box->setValue(value);
        form->addRow(label, box);
        return box;
    };
    QSpinBox* first = nullptr;
    QSpinBox* second = nullptr;
    switch (shape) {
    case ModelSession::Template::PluckedString:
        first = spin(tr("Masses"), 1, 2000, 16);
        break;
    case ModelSession::Template::Membrane:
        first = spin(tr("Rows"), 3, 200, 12);
        second = spin(tr("Columns"), 3, 200, 12);
        break;
    case ModelSession::Template::FreeBar:
        first = spin(tr("Masses"), 3, 2000, 16);
        break;
    case ModelSession::Template::CoupledElements:
        first = spin(tr("Masses per element"), 1, 1000, 8);
        break;
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return;
    session_.newFromTemplate(shape, first->value(), second != nullptr ? second->value() : 0);
}

// ----------------------------------------------------------- modal preview

void ModelEditorPane::requestPreview() {
    previewRequested_ = previewWorker_->request(muntero::takeSnapshot(session_.representation()));
}

bool ModelEditorPane::event(QEvent* event) {
    if (event->type() == ModalPreviewReadyEvent::kType) {
        auto* ready = static_cast<ModalPreviewReadyEvent*>(event);
        // A result for an older model than the one shown now is dropped.
        if (ready->sequence == previewRequested_) {
            preview_ = std::move(ready->preview);
            previewShown_ = ready->sequence;
            showPreview();
        }
        return true;
    }
    return QWidget::event(event);
}

void ModelEditorPane::setPreviewSettings(int octaves, int sampleRate) {
    previewOctaves_ = octaves;
    previewSampleRate_ = sampleRate;
    if (previewCurrent())
        showPreview();
}

StabilityForecast ModelEditorPane::forecast() const {
    GenerationSettings settings;
    settings.octaves = previewOctaves_;
    settings.sampleRate = previewSampleRate_;
    const double base = preview_.loudestMode >= 0
                            ? preview_.modes[static_cast<std::size_t>(preview_.loudestMode)].frequencyHz
                            : 0.0;
    if (base <= 0.0 || preview_.highestFrequencyHz <= 0.0)
        return {};
    return forecastStability(preview_.highestFrequencyHz, base, settings);
}

QString ModelEditorPane::previewText() const {
    if (!preview_.unavailable.empty())
        return QString::fromStdString(preview_.unavailable);
    if (preview_.modes.empty())
        return tr("No modes: draw free nodes joined by springs.");
    // Columns as narrow as their headings: the table fits the side column
    // of a 1024-pixel window, "base" included.
    QString text = tr(" # frequency Hz  shape loudness\n");
    for (std::size_t i = 0; i < preview_.modes.size(); ++i) {
        const NormalMode& mode = preview_.modes[i];
        text += QStringLiteral("%1 %2 %3 %4%5\n")
                    .arg(i + 1, 2)
                    .arg(QLocale::c().toString(mode.frequencyHz, 'f', 2), 12)
                    .arg(QLocale::c().toString(mode.shapeAtSound, 'f', 3), 6)
                    .arg(QLocale::c().toString(mode.loudness, 'f', 3), 8)
                    .arg(static_cast<int>(i) == preview_.loudestMode ? QStringLiteral(" base") : QString());
    }
    return text;
}

void ModelEditorPane::showPreview() {
    previewLabel_->setText(previewText());
    QStringList warnings;
    if (!preview_.nodalModes.empty()) {
        QStringList modes;
        for (int index : preview_.nodalModes)
            modes << QString::number(index + 1);
        warnings << tr("The flagged node sits on a nodal line of mode %1: the note may sound weak or at "
                       "an unexpected partial.")
                        .arg(modes.join(QStringLiteral(", ")));
    }
    if (!preview_.symmetric)
        warnings << tr("One-way links: the modes are approximate.");
    const StabilityForecast stability = forecast();
    if (!stability.unstableNotes.empty()) {
        QStringList names;
        for (int note : stability.unstableNotes)
            names << QString::fromStdString(soundName(note, previewOctaves_));
        warnings << tr("Unstable at %1 Hz: %2").arg(previewSampleRate_).arg(names.join(QLatin1Char(' ')));
    }
    previewWarning_->setText(warnings.join(QLatin1Char('\n')));
    emit previewUpdated();
}

} // namespace kivora
