#pragma once

#include <QColor>
#include <QPointF>

class QPainter;
class QPainterPath;
class QRectF;
class QWidget;

namespace orvel {

// The drawing properties of a layer-backed view: what paints behind its contents.
struct Layer {
    QColor backgroundColor; // invalid: no background
    QColor borderColor;
    double borderWidth = 0;
    double cornerRadius = 0;
    bool masksToBounds = false;
};

// A shadow with the offset in bottom-left orientation (negative y falls downward).
struct LayerShadow {
    double opacity = 0;
    double radius = 3;
    QPointF offset{0, -3};
    QColor color = Qt::black;
};

QPainterPath layerShape(const QRectF& bounds, const Layer& layer);
void paintLayer(QPainter& painter, const QRectF& bounds, const Layer& layer);
void applyLayerShadow(QWidget* view, const LayerShadow& shadow);

} // namespace orvel
