#include "Spinner.h"

#include <QPainter>

namespace orvel {

namespace {
constexpr int spokeCount = 12;
constexpr int tickMilliseconds = 80;
constexpr double smallControlExtent = 16;
} // namespace

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    ticker_.setInterval(tickMilliseconds);
    connect(&ticker_, &QTimer::timeout, this, [this] {
        phase_ = (phase_ + 1) % spokeCount;
        update();
    });
}

void Spinner::startAnimation() {
    if (!ticker_.isActive()) {
        ticker_.start();
        update();
    }
}

void Spinner::stopAnimation() {
    ticker_.stop();
    update();
}

void Spinner::paintEvent(QPaintEvent*) {
    if (!isAnimating()) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(QRectF(rect()).center());
    const double outer = smallControlExtent / 2;
    QPen pen(QColor(0, 0, 0), 1.6, Qt::SolidLine, Qt::RoundCap);
    for (int spoke = 0; spoke < spokeCount; ++spoke) {
        // The spoke at the current phase is darkest; the ones behind it fade.
        const int age = (phase_ - spoke + spokeCount) % spokeCount;
        QColor color(0x55, 0x5a, 0x58);
        color.setAlphaF(float(1.0 - 0.75 * age / (spokeCount - 1)));
        pen.setColor(color);
        painter.setPen(pen);
        painter.save();
        painter.rotate(360.0 * spoke / spokeCount);
        painter.drawLine(QPointF(0, -outer * 0.45), QPointF(0, -outer));
        painter.restore();
    }
}

} // namespace orvel
