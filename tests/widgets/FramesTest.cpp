#include "widgets/Frames.h"

#include <QWidget>
#include <gtest/gtest.h>

using namespace nimo;

TEST(Frames, BottomLeftFramesBecomeTopLeftRects) {
    struct Row {
        QRectF frame;
        qreal parentHeight;
        QRect rect;
    };
    const Row rows[] = {
        {{0, 404, 920, 48}, 452, {0, 0, 920, 48}}, // the page's title strip sits at the top
        {{21, 11, 2, 15}, 48, {21, 22, 2, 15}},    // the accent bar in the strip
        {{0, 0, 260, 88}, 88, {0, 0, 260, 88}},    // filling the parent
        {{113, 43, 150, 34}, 88, {113, 11, 150, 34}}, {{10, 0, 5, 5}, 100, {10, 95, 5, 5}}, // bottom edge
        {{0, 90, 10, 20}, 100, {0, -10, 10, 20}}, // overflowing the top
        {{0.4, 0.6, 10.2, 9.6}, 50, {0, 40, 10, 10}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(qtRectFromFrame(row.frame, row.parentHeight), row.rect) << row.rect.y();
        EXPECT_EQ(qtRectFromFrame(frameFromQtRect(row.rect, row.parentHeight), row.parentHeight), row.rect);
    }
}

TEST(Frames, SetFramePlacesInTheParentAndReadsBack) {
    QWidget parent;
    parent.resize(920, 580);
    auto* child = new QWidget(&parent);
    setFrame(child, 20, 30, 100, 50);
    EXPECT_EQ(child->geometry(), QRect(20, 500, 100, 50));
    EXPECT_EQ(frameOf(child), QRectF(20, 30, 100, 50));

    QWidget top; // without a parent the frame is taken as given
    setFrame(&top, 5, 6, 70, 80);
    EXPECT_EQ(top.size(), QSize(70, 80));
    setFrame(nullptr, 0, 0, 1, 1); // no crash
}
