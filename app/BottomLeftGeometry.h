#pragma once

#include <QPointF>
#include <QRect>

class QWidget;

namespace orvel {

// A view's frame as the window's design states it: origin at the bottom-left corner of the parent.
struct Frame {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    friend bool operator==(const Frame&, const Frame&) = default;
};

// Which margins or sizes follow the parent when the parent changes size.
enum AutoresizingMask : unsigned {
    flexibleLeftMargin = 1,
    flexibleWidth = 2,
    flexibleRightMargin = 4,
    flexibleBottomMargin = 8,
    flexibleHeight = 16,
    flexibleTopMargin = 32,
};

// The one conversion between bottom-left frames and Qt's top-left geometry.
QRect qtGeometry(const Frame& frame, double parentHeight);
Frame frameFromQtGeometry(const QRect& geometry, double parentHeight);
QPointF qtOffset(QPointF bottomLeftOffset);

// Places a child view at its bottom-left frame and keeps it there by its mask when the parent resizes.
void placeView(QWidget* view, const Frame& frame, unsigned autoresizingMask);
// Moves an already placed view; its mask stays.
void setViewFrame(QWidget* view, const Frame& frame);
Frame viewFrame(const QWidget* view);
unsigned viewAutoresizingMask(const QWidget* view);

} // namespace orvel
