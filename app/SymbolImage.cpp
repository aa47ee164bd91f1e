#include "SymbolImage.h"

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QSvgRenderer>

#include <cmath>

namespace orvel {

std::optional<SymbolImage> SymbolImage::systemSymbolNamed(const QString& name) {
    auto renderer = std::make_shared<QSvgRenderer>(QStringLiteral(":/symbols/%1.svg").arg(name));
    if (!renderer->isValid()) {
        return std::nullopt;
    }
    renderer->setAspectRatioMode(Qt::KeepAspectRatio);
    return SymbolImage(name, std::move(renderer));
}

SymbolImage::SymbolImage(QString name, std::shared_ptr<QSvgRenderer> renderer)
    : name_(std::move(name)), renderer_(std::move(renderer)) {}

void SymbolImage::paint(QPainter& painter, const QRectF& box, const QColor& tint) const {
    const double scale = painter.device()->devicePixelRatioF();
    QImage image(int(std::ceil(box.width() * scale)), int(std::ceil(box.height() * scale)),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    {
        QPainter symbol(&image);
        symbol.setRenderHint(QPainter::Antialiasing);
        renderer_->render(&symbol, QRectF(0, 0, box.width(), box.height()));
        // The artwork's shape keeps only its coverage; the tint gives its colour.
        symbol.setCompositionMode(QPainter::CompositionMode_SourceIn);
        symbol.fillRect(QRectF(0, 0, box.width(), box.height()), tint);
    }
    painter.drawImage(box.topLeft(), image);
}

} // namespace orvel
