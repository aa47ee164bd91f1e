#include "LayerView.h"

#include <QPainter>
#include <QPainterPath>

namespace orvel {

LayerView::LayerView(QWidget* parent) : QWidget(parent) {}

void LayerView::setLayer(const Layer& layer) {
    layer_ = layer;
    update();
}

void LayerView::setLayerBackgroundColor(const QColor& color) {
    layer_.backgroundColor = color;
    update();
}

void LayerView::setLayerBorderColor(const QColor& color) {
    layer_.borderColor = color;
    update();
}

void LayerView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF bounds = rect();
    paintLayer(painter, bounds, layer_);
    if (layer_.masksToBounds) {
        painter.setClipPath(layerShape(bounds, layer_));
    }
    paintContents(painter);
}

void LayerView::paintContents(QPainter&) {}

} // namespace orvel
