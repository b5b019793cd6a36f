// The editor's drawing surface: a top view of the model's x-y plane. Fixed
// nodes are squares, free nodes circles, the flagged node carries a flag;
// springs are lines whose weight grows with the stiffness, one-way element
// links dashed. The mouse selects (click, rubber band), moves, adds and marks
// nodes according to the current tool, and selects a spring by a click near its
// line; the wheel zooms about the cursor and the middle button pans.
#pragma once

#include <QPointF>
#include <QRectF>
#include <QWidget>
#include <optional>
#include <utility>
#include <vector>

namespace kivora {

class ModelEditorPane;

class ModelCanvas : public QWidget {
    Q_OBJECT
public:
    enum class Tool { Select, AddNode, AddSpring, AddElementLink, ToggleFixed, SetFlag };

    explicit ModelCanvas(ModelEditorPane* editor);

    Tool tool() const { return tool_; }
    void setTool(Tool tool);
    bool gridVisible() const { return gridVisible_; }
    void setGridVisible(bool visible);
    bool snapToGrid() const { return snapToGrid_; }
    void setSnapToGrid(bool snap) { snapToGrid_ = snap; }
    double gridStep() const { return gridStep_; }

    // View transform: model = (screen - offset) / scale, y pointing up.
    QPointF toScreen(double x, double y) const;
    QPointF toModel(QPointF screen) const;
    double scale() const { return scale_; }
    void zoomBy(double factor, QPointF anchor);
    void panBy(QPointF screenDelta);
    // Shows the whole model with a margin; a model of one point is centred at
    // the default scale.
    void fitToModel();
    // Fits now and after every resize, until the user zooms, pans, or places
    // or moves a node: from then on the view stays where the user draws.
    void resetView();

    // The node drawn under a screen point, or -1.
    int nodeAt(QPointF screen) const;
    // The spring whose line passes nearest a screen point, within picking
    // distance, as its two end nodes (lower index first).
    std::optional<std::pair<int, int>> springAt(QPointF screen) const;

signals:
    void toolChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QPointF snapped(QPointF model) const;
    // The power of ten whose lines lie at least a few pixels apart at the current scale.
    double gridStepForScale() const;
    void drawGrid(class QPainter& painter) const;

    ModelEditorPane* editor_;
    Tool tool_ = Tool::Select;
    bool gridVisible_ = true;
    bool snapToGrid_ = false;
    double gridStep_ = 0.1;
    double scale_ = 400.0; // pixels per model unit
    QPointF offset_{40.0, 300.0};
    bool viewChosen_ = false; // the user zoomed or panned

    enum class Drag { None, Move, RubberBand, Pan, Link };
    Drag drag_ = Drag::None;
    QPointF pressAt_;
    QPointF currentAt_;
    int pressedNode_ = -1;
    QPointF dragDelta_; // model units, shown while dragging and applied on release
};

} // namespace kivora
