#include "SymbolButton.h"

#include <QPainter>
#include <QPainterPath>

namespace orvel {

namespace {
constexpr double imageTitleSpacing = 6;
constexpr double pressedDarkening = 0.18;
constexpr double disabledContentOpacity = 0.45;
} // namespace

SymbolButton::SymbolButton(QWidget* parent) : QAbstractButton(parent) { setFocusPolicy(Qt::NoFocus); }

void SymbolButton::setLayer(const Layer& layer) {
    layer_ = layer;
    update();
}

void SymbolButton::setImage(std::optional<SymbolImage> image) {
    image_ = std::move(image);
    update();
}

void SymbolButton::setContentTintColor(const QColor& color) {
    contentTintColor_ = color;
    update();
}

void SymbolButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    paintLayer(painter, bounds, layer_);
    if (layer_.masksToBounds) {
        painter.setClipPath(layerShape(bounds, layer_));
    }
    if (isDown()) {
        painter.fillRect(bounds, QColor::fromRgbF(0, 0, 0, float(pressedDarkening)));
    }
    if (!isEnabled()) {
        painter.setOpacity(disabledContentOpacity);
    }

    const QFontMetricsF metrics(font());
    const double titleWidth = metrics.horizontalAdvance(text());
    const double imageExtent = image_ ? metrics.height() : 0;
    const double spacing = image_ && !text().isEmpty() ? imageTitleSpacing : 0;
    const double contentWidth = imageExtent + spacing + titleWidth;
    double x = (bounds.width() - contentWidth) / 2;
    if (image_) {
        image_->paint(painter, QRectF(x, (bounds.height() - imageExtent) / 2, imageExtent, imageExtent),
                      contentTintColor_);
        x += imageExtent + spacing;
    }
    painter.setPen(contentTintColor_);
    painter.setFont(font());
    painter.drawText(QRectF(x, 0, titleWidth + 1, bounds.height()), Qt::AlignLeft | Qt::AlignVCenter, text());
}

} // namespace orvel
