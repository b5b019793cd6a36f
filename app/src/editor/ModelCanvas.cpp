#include "editor/ModelCanvas.h"

#include "editor/ModelEditorPane.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace kivora {

namespace {

constexpr double kNodeRadiusPx = 5.0;
constexpr double kPickRadiusPx = 8.0;
constexpr double kMinScale = 1e-3;
constexpr double kMaxScale = 1e7;
constexpr double kDefaultScale = 400.0;
constexpr double kMinGridSpacingPx = 20.0;

// Line weight from stiffness: a log scale between the model's weakest and
// stiffest springs, so that differences show whatever the units.
struct WeightScale {
    double lowLog = 0.0;
    double spanLog = 1.0;
    double weightOf(double stiffness) const {
        const double k = std::abs(stiffness);
        if (k <= 0.0)
            return 1.0;
        return 1.0 + 3.0 * std::clamp((std::log(k) - lowLog) / spanLog, 0.0, 1.0);
    }
};

} // namespace

ModelCanvas::ModelCanvas(ModelEditorPane* editor) : QWidget(editor), editor_(editor) {
    setObjectName(QStringLiteral("ModelCanvas"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(120, 120);
}

void ModelCanvas::setTool(Tool tool) {
    tool_ = tool;
    drag_ = Drag::None;
    update();
    emit toolChanged();
}

void ModelCanvas::setGridVisible(bool visible) {
    gridVisible_ = visible;
    update();
}

QPointF ModelCanvas::toScreen(double x, double y) const {
    return {offset_.x() + x * scale_, offset_.y() - y * scale_};
}

QPointF ModelCanvas::toModel(QPointF screen) const {
    return {(screen.x() - offset_.x()) / scale_, (offset_.y() - screen.y()) / scale_};
}

void ModelCanvas::zoomBy(double factor, QPointF anchor) {
    const QPointF model = toModel(anchor);
    viewChosen_ = true;
    scale_ = std::clamp(scale_ * factor, kMinScale, kMaxScale);
    offset_ = QPointF(anchor.x() - model.x() * scale_, anchor.y() + model.y() * scale_);
    update();
}

void ModelCanvas::panBy(QPointF screenDelta) {
    viewChosen_ = true;
    offset_ += screenDelta;
    update();
}

void ModelCanvas::resetView() {
    viewChosen_ = false;
    fitToModel();
}

void ModelCanvas::fitToModel() {
    const auto& nodes = editor_->document().nodes;
    if (nodes.empty() || width() <= 0 || height() <= 0)
        return;
    double left = nodes[0].position.x, right = left, bottom = nodes[0].position.y, top = bottom;
    for (const EditorNode& node : nodes) {
        left = std::min(left, node.position.x);
        right = std::max(right, node.position.x);
        bottom = std::min(bottom, node.position.y);
        top = std::max(top, node.position.y);
    }
    const double spanX = std::max(right - left, 1e-9);
    const double spanY = std::max(top - bottom, 1e-9);
    const bool onePoint = right - left < 1e-9 && top - bottom < 1e-9;
    const double margin = 40.0;
    scale_ = onePoint ? kDefaultScale
                      : std::clamp(std::min((width() - 2 * margin) / spanX, (height() - 2 * margin) / spanY),
                                   kMinScale, kMaxScale);
    const QPointF centre((left + right) / 2.0, (bottom + top) / 2.0);
    offset_ = QPointF(width() / 2.0 - centre.x() * scale_, height() / 2.0 + centre.y() * scale_);
    // A grid of 10 to 20 lines across the model. A single point has no size
    // to divide: its grid follows the view, as a new canvas's does.
    gridStep_ =
        onePoint ? gridStepForScale() : std::pow(10.0, std::ceil(std::log10(std::max(spanX, spanY) / 20.0)));
    update();
}

int ModelCanvas::nodeAt(QPointF screen) const {
    const auto& nodes = editor_->document().nodes;
    int best = -1;
    double bestDistance = kPickRadiusPx * kPickRadiusPx;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const QPointF at = toScreen(nodes[i].position.x, nodes[i].position.y);
        const double dx = at.x() - screen.x();
        const double dy = at.y() - screen.y();
        const double distance = dx * dx + dy * dy;
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}

double ModelCanvas::gridStepForScale() const {
    return std::pow(10.0, std::ceil(std::log10(kMinGridSpacingPx / scale_)));
}

std::optional<std::pair<int, int>> ModelCanvas::springAt(QPointF screen) const {
    const ModelDocument& document = editor_->document();
    std::optional<std::pair<int, int>> best;
    double bestDistance = kPickRadiusPx;
    for (const EditorLink& link : document.links) {
        const EditorNode& a = document.nodes[static_cast<std::size_t>(link.node)];
        const EditorNode& b = document.nodes[static_cast<std::size_t>(link.other)];
        const QPointF from = toScreen(a.position.x, a.position.y);
        const QPointF along = toScreen(b.position.x, b.position.y) - from;
        const double lengthSquared = QPointF::dotProduct(along, along);
        const double t = lengthSquared > 0.0
                             ? std::clamp(QPointF::dotProduct(screen - from, along) / lengthSquared, 0.0, 1.0)
                             : 0.0;
        const QPointF off = screen - (from + t * along);
        const double distance = std::hypot(off.x(), off.y());
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = std::minmax(link.node, link.other);
        }
    }
    return best;
}

QPointF ModelCanvas::snapped(QPointF model) const {
    if (!snapToGrid_ || gridStep_ <= 0.0)
        return model;
    return {std::round(model.x() / gridStep_) * gridStep_, std::round(model.y() / gridStep_) * gridStep_};
}

void ModelCanvas::drawGrid(QPainter& painter) const {
    if (!gridVisible_ || gridStep_ * scale_ < 6.0)
        return;
    painter.setPen(QPen(QColor(228, 228, 236), 0));
    const QPointF low = toModel(QPointF(0, height()));
    const QPointF high = toModel(QPointF(width(), 0));
    for (double x = std::floor(low.x() / gridStep_) * gridStep_; x <= high.x(); x += gridStep_) {
        const double sx = toScreen(x, 0).x();
        painter.drawLine(QPointF(sx, 0), QPointF(sx, height()));
    }
    for (double y = std::floor(low.y() / gridStep_) * gridStep_; y <= high.y(); y += gridStep_) {
        const double sy = toScreen(0, y).y();
        painter.drawLine(QPointF(0, sy), QPointF(width(), sy));
    }
    painter.setPen(QPen(QColor(200, 200, 215), 0));
    const QPointF origin = toScreen(0, 0);
    painter.drawLine(QPointF(origin.x(), 0), QPointF(origin.x(), height()));
    painter.drawLine(QPointF(0, origin.y()), QPointF(width(), origin.y()));
}

void ModelCanvas::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    drawGrid(painter);

    const ModelDocument& document = editor_->document();
    std::vector<char> selected(document.nodes.size(), 0);
    for (int index : editor_->selection())
        selected[static_cast<std::size_t>(index)] = 1;
    const bool moving = drag_ == Drag::Move;
    auto positionOf = [&](int index) {
        const EditorNode& node = document.nodes[static_cast<std::size_t>(index)];
        QPointF at = toScreen(node.position.x, node.position.y);
        if (moving && selected[static_cast<std::size_t>(index)])
            at += QPointF(dragDelta_.x() * scale_, -dragDelta_.y() * scale_);
        return at;
    };

    WeightScale weights;
    if (!document.links.empty()) {
        double low = HUGE_VAL, high = 0.0;
        for (const EditorLink& link : document.links)
            if (link.stiffness != 0.0) {
                low = std::min(low, std::log(std::abs(link.stiffness)));
                high = std::max(high, std::log(std::abs(link.stiffness)));
            }
        if (high >= low) {
            weights.lowLog = low;
            weights.spanLog = std::max(high - low, 1e-9);
        }
    }
    painter.setRenderHint(QPainter::Antialiasing, document.nodes.size() < 2000);
    // Lines are batched by pen (two colours, four weights): one drawLines
    // call per batch keeps a repaint of a large model fast. A spring's two own
    // links cover the same line; negative stiffnesses (a bar's bending terms)
    // take the second colour.
    constexpr int kWeights = 4;
    std::vector<QLineF> batches[2][kWeights];
    for (const EditorLink& link : document.links) {
        const double k = link.stiffness;
        const int weight = std::clamp(static_cast<int>(weights.weightOf(k)) - 1, 0, kWeights - 1);
        batches[k < 0.0 ? 1 : 0][weight].emplace_back(positionOf(link.node), positionOf(link.other));
    }
    for (int colour = 0; colour < 2; ++colour)
        for (int weight = 0; weight < kWeights; ++weight) {
            const auto& lines = batches[colour][weight];
            if (lines.empty())
                continue;
            painter.setPen(QPen(colour == 0 ? QColor(40, 70, 160) : QColor(190, 90, 40), weight + 1.0));
            painter.drawLines(lines.data(), static_cast<int>(lines.size()));
        }
    if (const auto spring = editor_->selectedSpring()) {
        painter.setPen(QPen(QColor(230, 120, 0), 4.0));
        painter.drawLine(positionOf(spring->first), positionOf(spring->second));
    }
    for (const EditorElementLink& link : document.elementLinks) {
        QPen pen(QColor(20, 140, 90), weights.weightOf(link.stiffness), Qt::DashLine);
        painter.setPen(pen);
        painter.drawLine(positionOf(link.first), positionOf(link.second));
    }

    // Nodes by kind: free circles, fixed squares, the selection outlined.
    std::vector<QRectF> fixedBoxes, selectedFixedBoxes;
    std::vector<QPointF> freeCentres, selectedFreeCentres;
    for (std::size_t i = 0; i < document.nodes.size(); ++i) {
        const QPointF at = positionOf(static_cast<int>(i));
        if (document.nodes[i].fixed)
            (selected[i] ? selectedFixedBoxes : fixedBoxes)
                .emplace_back(at.x() - kNodeRadiusPx, at.y() - kNodeRadiusPx, 2 * kNodeRadiusPx,
                              2 * kNodeRadiusPx);
        else
            (selected[i] ? selectedFreeCentres : freeCentres).push_back(at);
    }
    const QPen normalPen(QColor(30, 30, 30), 1.0), selectedPen(QColor(230, 120, 0), 2.5);
    const QColor freeFill(250, 250, 250), fixedFill(90, 90, 90);
    painter.setBrush(fixedFill);
    painter.setPen(normalPen);
    painter.drawRects(fixedBoxes.data(), static_cast<int>(fixedBoxes.size()));
    painter.setPen(selectedPen);
    painter.drawRects(selectedFixedBoxes.data(), static_cast<int>(selectedFixedBoxes.size()));
    painter.setBrush(freeFill);
    painter.setPen(normalPen);
    for (const QPointF& at : freeCentres)
        painter.drawEllipse(at, kNodeRadiusPx, kNodeRadiusPx);
    painter.setPen(selectedPen);
    for (const QPointF& at : selectedFreeCentres)
        painter.drawEllipse(at, kNodeRadiusPx, kNodeRadiusPx);
    if (document.flagged >= 0) {
        const QPointF at = positionOf(document.flagged);
        painter.setPen(QPen(QColor(200, 0, 0), 2.0));
        painter.drawLine(at, at + QPointF(0, -22));
        QPainterPath flag;
        flag.moveTo(at + QPointF(0, -22));
        flag.lineTo(at + QPointF(14, -17));
        flag.lineTo(at + QPointF(0, -12));
        flag.closeSubpath();
        painter.fillPath(flag, QColor(220, 0, 0));
    }
    // Element origins: small crosses.
    painter.setPen(QPen(QColor(20, 140, 90), 1.5));
    for (std::size_t e = 0; e < document.elements.size(); ++e) {
        const QPointF at = toScreen(document.elements[e].origin.x, document.elements[e].origin.y);
        const double arm = static_cast<int>(e) == editor_->currentElement() ? 8.0 : 5.0;
        painter.drawLine(at - QPointF(arm, 0), at + QPointF(arm, 0));
        painter.drawLine(at - QPointF(0, arm), at + QPointF(0, arm));
    }

    if (drag_ == Drag::RubberBand) {
        painter.setPen(QPen(QColor(60, 110, 220), 1.0, Qt::DashLine));
        painter.setBrush(QColor(60, 110, 220, 40));
        painter.drawRect(QRectF(pressAt_, currentAt_).normalized());
    } else if (drag_ == Drag::Link && pressedNode_ >= 0) {
        painter.setPen(QPen(QColor(60, 110, 220), 1.5, Qt::DashLine));
        painter.drawLine(positionOf(pressedNode_), currentAt_);
    }
}

void ModelCanvas::mousePressEvent(QMouseEvent* event) {
    pressAt_ = currentAt_ = event->position();
    dragDelta_ = {};
    if (event->button() == Qt::MiddleButton ||
        (event->button() == Qt::LeftButton && event->modifiers().testFlag(Qt::AltModifier))) {
        drag_ = Drag::Pan;
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    const int node = nodeAt(event->position());
    pressedNode_ = node;
    switch (tool_) {
    case Tool::Select: {
        const bool extend = event->modifiers().testFlag(Qt::ShiftModifier) ||
                            event->modifiers().testFlag(Qt::ControlModifier);
        if (node < 0) {
            const auto spring = extend ? std::nullopt : springAt(event->position());
            if (spring) {
                editor_->selectSpring(spring->first, spring->second);
                break;
            }
            if (!extend)
                editor_->setSelection({});
            drag_ = Drag::RubberBand;
            break;
        }
        std::vector<int> selection = editor_->selection();
        const bool already = std::binary_search(selection.begin(), selection.end(), node);
        if (extend && already)
            std::erase(selection, node);
        else if (extend)
            selection.push_back(node);
        else if (!already)
            selection = {node};
        editor_->setSelection(std::move(selection));
        drag_ = already || !extend ? Drag::Move : Drag::None;
        break;
    }
    case Tool::AddNode: {
        // The user draws in this view: it no longer follows resizes.
        viewChosen_ = true;
        const QPointF at = snapped(toModel(event->position()));
        const int added = editor_->addNode(at.x(), at.y());
        editor_->setSelection({added});
        break;
    }
    case Tool::AddSpring:
    case Tool::AddElementLink:
        if (node >= 0)
            drag_ = Drag::Link;
        break;
    case Tool::ToggleFixed:
        if (node >= 0)
            editor_->session().toggleFixed({node});
        break;
    case Tool::SetFlag:
        if (node >= 0)
            editor_->session().setFlag(node);
        break;
    }
    update();
}

void ModelCanvas::mouseMoveEvent(QMouseEvent* event) {
    const QPointF previous = currentAt_;
    currentAt_ = event->position();
    switch (drag_) {
    case Drag::Pan:
        panBy(currentAt_ - previous);
        return;
    case Drag::Move: {
        QPointF delta((currentAt_.x() - pressAt_.x()) / scale_, -(currentAt_.y() - pressAt_.y()) / scale_);
        if (snapToGrid_ && pressedNode_ >= 0) {
            const EditorNode& node = editor_->document().nodes[static_cast<std::size_t>(pressedNode_)];
            const QPointF target = snapped(QPointF(node.position.x, node.position.y) + delta);
            delta = target - QPointF(node.position.x, node.position.y);
        }
        dragDelta_ = delta;
        break;
    }
    default:
        break;
    }
    update();
}

void ModelCanvas::mouseReleaseEvent(QMouseEvent* event) {
    currentAt_ = event->position();
    const Drag finished = drag_;
    drag_ = Drag::None;
    switch (finished) {
    case Drag::Move:
        if (dragDelta_ != QPointF()) {
            viewChosen_ = true;
            editor_->session().moveNodes(editor_->selection(), dragDelta_.x(), dragDelta_.y());
        }
        break;
    case Drag::RubberBand: {
        const QRectF band = QRectF(pressAt_, currentAt_).normalized();
        std::vector<int> selection =
            event->modifiers().testFlag(Qt::ShiftModifier) ? editor_->selection() : std::vector<int>{};
        const auto& nodes = editor_->document().nodes;
        for (std::size_t i = 0; i < nodes.size(); ++i)
            if (band.contains(toScreen(nodes[i].position.x, nodes[i].position.y)))
                selection.push_back(static_cast<int>(i));
        editor_->setSelection(std::move(selection));
        break;
    }
    case Drag::Link: {
        const int target = nodeAt(currentAt_);
        if (target >= 0 && target != pressedNode_) {
            if (tool_ == Tool::AddSpring)
                editor_->session().addSpring(pressedNode_, target, editor_->defaultStiffness());
            else
                editor_->session().addElementLink(pressedNode_, target, editor_->defaultStiffness());
        }
        break;
    }
    default:
        break;
    }
    dragDelta_ = {};
    update();
}

void ModelCanvas::wheelEvent(QWheelEvent* event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (steps != 0.0)
        zoomBy(std::pow(1.2, steps), event->position());
    event->accept();
}

void ModelCanvas::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!viewChosen_)
        fitToModel();
}

} // namespace kivora
