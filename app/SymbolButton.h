#pragma once

#include "Layer.h"
#include "SymbolImage.h"

#include <QAbstractButton>

#include <optional>

namespace orvel {

// A borderless, layer-backed push button whose symbol sits to the left of its title, hugging it;
// the symbol is scaled down proportionally to the title's line height. Symbol and title take the
// content tint colour.
class SymbolButton final : public QAbstractButton {
    Q_OBJECT

public:
    explicit SymbolButton(QWidget* parent = nullptr);

    const Layer& layer() const { return layer_; }
    void setLayer(const Layer& layer);
    const std::optional<SymbolImage>& image() const { return image_; }
    void setImage(std::optional<SymbolImage> image);
    QColor contentTintColor() const { return contentTintColor_; }
    void setContentTintColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Layer layer_;
    std::optional<SymbolImage> image_;
    QColor contentTintColor_ = Qt::black;
};

} // namespace orvel
