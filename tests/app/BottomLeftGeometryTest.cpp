#include "BottomLeftGeometry.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace orvel {
namespace {

TEST(BottomLeftGeometry, FlipsTheVerticalAxisWithinTheParent) {
    EXPECT_EQ(qtGeometry({24, 488, 792, 128}, 640), QRect(24, 24, 792, 128));
    EXPECT_EQ(qtGeometry({24, 48, 792, 256}, 640), QRect(24, 336, 792, 256));
    EXPECT_EQ(qtGeometry({0, 0, 10, 10}, 10), QRect(0, 0, 10, 10));
    EXPECT_EQ(frameFromQtGeometry(QRect(24, 336, 792, 256), 640), (Frame{24, 48, 792, 256}));
    EXPECT_EQ(qtOffset({0, -2}), QPointF(0, 2));
}

TEST(BottomLeftGeometry, MasksDecideWhatFollowsTheParentsSize) {
    QWidget parent;
    parent.resize(200, 100);
    auto* keepsRightAndTop = new QWidget(&parent);
    auto* growsKeepsTop = new QWidget(&parent);
    auto* keepsLeftAndTop = new QWidget(&parent);
    auto* growsKeepsBottom = new QWidget(&parent);
    placeView(keepsRightAndTop, {150, 60, 20, 20}, flexibleLeftMargin | flexibleBottomMargin);
    placeView(growsKeepsTop, {10, 60, 100, 20}, flexibleWidth | flexibleBottomMargin);
    placeView(keepsLeftAndTop, {10, 60, 20, 20}, flexibleRightMargin | flexibleBottomMargin);
    placeView(growsKeepsBottom, {10, 10, 100, 20}, flexibleWidth | flexibleTopMargin);
    EXPECT_EQ(viewAutoresizingMask(growsKeepsBottom), 34u);

    parent.resize(260, 140);
    parent.show();

    EXPECT_EQ(viewFrame(keepsRightAndTop), (Frame{210, 100, 20, 20}));
    EXPECT_EQ(viewFrame(growsKeepsTop), (Frame{10, 100, 160, 20}));
    EXPECT_EQ(viewFrame(keepsLeftAndTop), (Frame{10, 100, 20, 20}));
    EXPECT_EQ(viewFrame(growsKeepsBottom), (Frame{10, 10, 160, 20}));
    // Distances to the top edge stay in Qt's terms as well.
    EXPECT_EQ(growsKeepsTop->geometry().y(), 20);

    parent.resize(200, 100);
    EXPECT_EQ(viewFrame(keepsRightAndTop), (Frame{150, 60, 20, 20}));
    EXPECT_EQ(viewFrame(growsKeepsBottom), (Frame{10, 10, 100, 20}));
}

TEST(BottomLeftGeometry, MovingAPlacedViewKeepsItsMask) {
    QWidget parent;
    parent.resize(200, 100);
    auto* view = new QWidget(&parent);
    placeView(view, {10, 60, 100, 20}, flexibleWidth | flexibleBottomMargin);
    setViewFrame(view, {10, 70, 100, 20});
    parent.resize(240, 120);
    parent.show();
    EXPECT_EQ(viewFrame(view), (Frame{10, 90, 140, 20}));
    EXPECT_EQ(viewAutoresizingMask(view), unsigned(flexibleWidth | flexibleBottomMargin));
}

} // namespace
} // namespace orvel
