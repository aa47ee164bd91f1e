#include "ImageView.h"

#include <QPainter>

namespace orvel {

ImageView::ImageView(QWidget* parent) : LayerView(parent) {}

void ImageView::setImage(std::optional<SymbolImage> image) {
    image_ = std::move(image);
    update();
}

void ImageView::setSymbolPointSize(double pointSize) {
    symbolPointSize_ = pointSize;
    update();
}

void ImageView::setContentTintColor(const QColor& color) {
    contentTintColor_ = color;
    update();
}

void ImageView::paintContents(QPainter& painter) {
    if (!image_) {
        return;
    }
    QRectF box(0, 0, symbolPointSize_, symbolPointSize_);
    box.moveCenter(QRectF(rect()).center());
    image_->paint(painter, box, contentTintColor_);
}

} // namespace orvel
