#pragma once

#include "Layer.h"

#include <QWidget>

namespace orvel {

// A plain layer-backed view; subclasses draw their contents above the layer.
class LayerView : public QWidget {
    Q_OBJECT

public:
    explicit LayerView(QWidget* parent = nullptr);

    const Layer& layer() const { return layer_; }
    void setLayer(const Layer& layer);
    void setLayerBackgroundColor(const QColor& color);
    void setLayerBorderColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;
    virtual void paintContents(QPainter& painter);

private:
    Layer layer_;
};

} // namespace orvel
