#include "BottomLeftGeometry.h"

#include <QEvent>
#include <QRectF>
#include <QSizeF>
#include <QVariant>
#include <QWidget>

#include <cmath>

namespace orvel {

namespace {

constexpr const char* placedFrameProperty = "orvel.placedFrame";
constexpr const char* placedParentSizeProperty = "orvel.placedParentSize";
constexpr const char* autoresizingMaskProperty = "orvel.autoresizingMask";
constexpr const char* filterInstalledProperty = "orvel.autoresizingFilter";

QRectF asRect(const Frame& frame) { return {frame.x, frame.y, frame.width, frame.height}; }
Frame asFrame(const QRectF& rect) { return {rect.x(), rect.y(), rect.width(), rect.height()}; }

// Shares a size change evenly among the flexible parts of one axis; with none flexible the
// origin and size stay and the far margin absorbs the change.
void distribute(double delta, bool flexibleOrigin, double& origin, bool flexibleSize, double& size,
                bool flexibleFarMargin) {
    const int parts = int(flexibleOrigin) + int(flexibleSize) + int(flexibleFarMargin);
    if (parts == 0) {
        return;
    }
    const double share = delta / parts;
    if (flexibleOrigin) {
        origin += share;
    }
    if (flexibleSize) {
        size += share;
    }
}

Frame resized(Frame frame, unsigned mask, QSizeF from, QSizeF to) {
    distribute(to.width() - from.width(), mask & flexibleLeftMargin, frame.x, mask & flexibleWidth, frame.width,
               mask & flexibleRightMargin);
    distribute(to.height() - from.height(), mask & flexibleBottomMargin, frame.y, mask & flexibleHeight,
               frame.height, mask & flexibleTopMargin);
    return frame;
}

class AutoresizingFilter final : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Resize) {
            return false;
        }
        auto* parent = static_cast<QWidget*>(watched);
        const QSizeF parentSize = parent->size();
        for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QVariant placed = child->property(placedFrameProperty);
            if (!placed.isValid()) {
                continue;
            }
            const Frame frame = resized(asFrame(placed.toRectF()), viewAutoresizingMask(child),
                                        child->property(placedParentSizeProperty).toSizeF(), parentSize);
            child->setGeometry(qtGeometry(frame, parentSize.height()));
        }
        return false;
    }
};

void watchParent(QWidget* parent) {
    if (parent->property(filterInstalledProperty).toBool()) {
        return;
    }
    parent->installEventFilter(new AutoresizingFilter(parent));
    parent->setProperty(filterInstalledProperty, true);
}

} // namespace

QRect qtGeometry(const Frame& frame, double parentHeight) {
    return {int(std::lround(frame.x)), int(std::lround(parentHeight - frame.y - frame.height)),
            int(std::lround(frame.width)), int(std::lround(frame.height))};
}

Frame frameFromQtGeometry(const QRect& geometry, double parentHeight) {
    return {double(geometry.x()), parentHeight - geometry.y() - geometry.height(), double(geometry.width()),
            double(geometry.height())};
}

QPointF qtOffset(QPointF bottomLeftOffset) { return {bottomLeftOffset.x(), -bottomLeftOffset.y()}; }

void placeView(QWidget* view, const Frame& frame, unsigned autoresizingMask) {
    view->setProperty(autoresizingMaskProperty, autoresizingMask);
    setViewFrame(view, frame);
}

void setViewFrame(QWidget* view, const Frame& frame) {
    QWidget* parent = view->parentWidget();
    Q_ASSERT(parent);
    watchParent(parent);
    view->setProperty(placedFrameProperty, asRect(frame));
    view->setProperty(placedParentSizeProperty, QSizeF(parent->size()));
    view->setGeometry(qtGeometry(frame, parent->height()));
}

Frame viewFrame(const QWidget* view) {
    return frameFromQtGeometry(view->geometry(), view->parentWidget() ? view->parentWidget()->height() : 0);
}

unsigned viewAutoresizingMask(const QWidget* view) { return view->property(autoresizingMaskProperty).toUInt(); }

} // namespace orvel
