#include "Layer.h"

#include "BottomLeftGeometry.h"

#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>
#include <QRectF>
#include <QWidget>

namespace orvel {

QPainterPath layerShape(const QRectF& bounds, const Layer& layer) {
    QPainterPath path;
    path.addRoundedRect(bounds, layer.cornerRadius, layer.cornerRadius);
    return path;
}

void paintLayer(QPainter& painter, const QRectF& bounds, const Layer& layer) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (layer.backgroundColor.isValid()) {
        painter.fillPath(layerShape(bounds, layer), layer.backgroundColor);
    }
    if (layer.borderWidth > 0 && layer.borderColor.isValid()) {
        // The border lies inside the bounds, as a layer's does.
        const double inset = layer.borderWidth / 2;
        Layer inner = layer;
        inner.cornerRadius = qMax(0.0, layer.cornerRadius - inset);
        painter.setPen(QPen(layer.borderColor, layer.borderWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(layerShape(bounds.adjusted(inset, inset, -inset, -inset), inner));
    }
    painter.restore();
}

void applyLayerShadow(QWidget* view, const LayerShadow& shadow) {
    auto* effect = new QGraphicsDropShadowEffect(view);
    QColor color = shadow.color;
    color.setAlphaF(float(color.alphaF() * shadow.opacity));
    effect->setColor(color);
    effect->setBlurRadius(shadow.radius);
    effect->setOffset(qtOffset(shadow.offset));
    view->setGraphicsEffect(effect);
}

} // namespace orvel
