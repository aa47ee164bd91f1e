#pragma once

#include "LayerView.h"
#include "SymbolImage.h"

#include <optional>

namespace orvel {

// A layer-backed view that shows one symbol, centred, at its symbol point size and tint.
class ImageView final : public LayerView {
    Q_OBJECT

public:
    explicit ImageView(QWidget* parent = nullptr);

    const std::optional<SymbolImage>& image() const { return image_; }
    void setImage(std::optional<SymbolImage> image);
    double symbolPointSize() const { return symbolPointSize_; }
    void setSymbolPointSize(double pointSize);
    QColor contentTintColor() const { return contentTintColor_; }
    void setContentTintColor(const QColor& color);

protected:
    void paintContents(QPainter& painter) override;

private:
    std::optional<SymbolImage> image_;
    double symbolPointSize_ = 17;
    QColor contentTintColor_ = Qt::black;
};

} // namespace orvel
