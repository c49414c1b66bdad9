// The preview panel's geometry: zoom, grid, scrolling and hit testing, without Qt.

#include "print/PreviewLayout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TPreviewLayout Layout(int width, int height, int pages) {
    TPreviewLayout layout;
    layout.SetArea(width, height);
    layout.SetScrollBarExtents(17, 17);
    layout.SetPageCount(pages);
    layout.UpdateLayout();
    return layout;
}

// The middle of a page on the screen.
void PageCentre(const TPreviewLayout& layout, int page, int& x, int& y) {
    const TPreviewRect r = layout.PageRect(page);
    x = r.left + r.width / 2;
    y = r.top + r.height / 2;
}

TEST(PreviewLayoutTest, GridFollowsTheClientWidth) {
    struct Case {
        int width, height, pages;
        int columns, rows;
        bool hBar, vBar;
        int centring;
    };
    const std::vector<Case> cases = {
        // 1000 - 876 = 124 is not above 846: one column, centred.
        {1000, 800, 1, 1, 1, false, true, (1000 - 17 - 876) / 2},
        {1800, 1200, 3, 2, 2, false, true, (1800 - 17 - 1722) / 2},
        {1800, 2400, 2, 2, 1, false, false, (1800 - 1722) / 2},
        {2700, 1200, 7, 3, 3, false, true, (2700 - 17 - 2568) / 2},
        {600, 500, 2, 1, 2, true, true, 0},
    };
    for (const Case& c : cases) {
        const TPreviewLayout layout = Layout(c.width, c.height, c.pages);
        EXPECT_EQ(layout.Columns(), c.columns) << c.width << " " << c.pages;
        EXPECT_EQ(layout.Rows(), c.rows) << c.width << " " << c.pages;
        EXPECT_EQ(layout.HorizontalBarShown(), c.hBar) << c.width;
        EXPECT_EQ(layout.VerticalBarShown(), c.vBar) << c.width;
        EXPECT_EQ(layout.CentringOffset(), c.centring) << c.width;
    }
}

TEST(PreviewLayoutTest, ThreePagesInTwoColumnsLeaveTheSecondRowHalfFull) {
    const TPreviewLayout layout = Layout(1800, 2400, 3);
    ASSERT_EQ(layout.Columns(), 2);
    const int c = layout.CentringOffset();
    EXPECT_EQ(layout.PageRect(0), (TPreviewRect{30 + c, 30, 816, 1056}));
    EXPECT_EQ(layout.PageRect(1), (TPreviewRect{30 + 846 + c, 30, 816, 1056}));
    EXPECT_EQ(layout.PageRect(2), (TPreviewRect{30 + c, 30 + 1086, 816, 1056}));
    EXPECT_FALSE(layout.VerticalBarShown());
    EXPECT_EQ(layout.ScrollMaxY(), 0);
}

TEST(PreviewLayoutTest, NoPagesHideBothBarsAndSelectNothing) {
    TPreviewLayout layout = Layout(600, 500, 3);
    ASSERT_TRUE(layout.VerticalBarShown());
    layout.ScrollYTo(200);
    layout.SetCurrentPage(1);
    layout.SetPageCount(0);
    layout.Clear();
    EXPECT_FALSE(layout.HorizontalBarShown());
    EXPECT_FALSE(layout.VerticalBarShown());
    EXPECT_EQ(layout.ScrollY(), 0);
    EXPECT_EQ(layout.CurrentPage(), -1);
    EXPECT_FALSE(layout.HitTest(300, 200));
}

TEST(PreviewLayoutTest, FullPageFitsOnePageInOneColumn) {
    TPreviewLayout fresh;
    fresh.SetArea(703, 467);
    fresh.SetPageCount(4);
    fresh.FullPage();
    EXPECT_FLOAT_EQ(fresh.Zoom(), static_cast<float>(std::min(626.0 / 816, 390.0 / 1056)));
    EXPECT_NEAR(fresh.Zoom(), 0.369, 0.001);
    EXPECT_EQ(fresh.Columns(), 1);
    EXPECT_TRUE(fresh.SingleColumn());
    EXPECT_EQ(fresh.ZoomMode(), TPreviewLayout::ZoomFullPage);

    // Full page follows the panel's size whenever the layout is recomputed.
    fresh.SetArea(1403, 934);
    fresh.UpdateLayout();
    EXPECT_FLOAT_EQ(fresh.Zoom(), static_cast<float>(857.0 / 1056));

    fresh.ActualSize();
    EXPECT_EQ(fresh.Zoom(), 1.0f);
    EXPECT_FALSE(fresh.SingleColumn());
}

TEST(PreviewLayoutTest, FullPageInAPanelTooSmallForAPageStaysAtTheSmallestZoom) {
    TPreviewLayout layout;
    layout.SetArea(40, 30);
    layout.SetPageCount(5);
    layout.FullPage(); // refused: the factor is negative
    layout.UpdateLayout();
    EXPECT_FLOAT_EQ(layout.Zoom(), 0.1f);
    EXPECT_EQ(layout.Columns(), 1);
    EXPECT_EQ(layout.Rows(), 5);
}

TEST(PreviewLayoutTest, SetZoomRefusesOutOfRangeAndUnchangedFactors) {
    struct Case {
        float factor;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {0.0999f, false}, {0.1f, true},  {0.5f, true},  {4.99f, true},
        {5.0f, false},    {7.0f, false}, {1.0f, false}, // 1.0 is the zoom already
        {-1.0f, false},
    };
    for (const Case& c : cases) {
        TPreviewLayout layout = Layout(1000, 800, 2);
        ASSERT_EQ(layout.Zoom(), 1.0f);
        EXPECT_EQ(layout.SetClickMode(TPreviewLayout::ClickZoomIn), true);
        EXPECT_EQ(layout.SetZoom(c.factor), c.accepted) << c.factor;
        EXPECT_EQ(layout.Zoom(), c.accepted ? c.factor : 1.0f) << c.factor;
    }
}

TEST(PreviewLayoutTest, ClickZoomStopsBelowFiveAndReachesOneTenth) {
    TPreviewLayout layout = Layout(1000, 800, 1);
    layout.SetClickMode(TPreviewLayout::ClickZoomIn);
    EXPECT_EQ(layout.ZoomMode(), TPreviewLayout::ZoomFree);
    bool zoomed = true;
    for (int i = 0; i < 100 && zoomed; ++i) {
        int x = 0;
        int y = 0;
        PageCentre(layout, 0, x, y);
        zoomed = layout.LeftButtonDown(x, y).zoomed;
    }
    EXPECT_FALSE(zoomed);
    EXPECT_LT(layout.Zoom(), 5.0f);
    EXPECT_GT(layout.Zoom(), 4.85f);

    layout.SetClickMode(TPreviewLayout::ClickZoomOut);
    for (int i = 0; i < 100; ++i) {
        int x = 0;
        int y = 0;
        PageCentre(layout, 0, x, y);
        layout.LeftButtonDown(x, y);
    }
    EXPECT_EQ(layout.Zoom(), 0.1f);
    EXPECT_EQ(layout.ScaledPageWidth(), 82);
}

TEST(PreviewLayoutTest, HitTestFindsThePagePointUnderTheMouse) {
    struct Case {
        int x, y;
        int page, ax, ay; // -1: no page there
    };
    // Zoom 0.5 in a 1000-pixel panel: pages of 408 x 528 in two columns, centred by 47.
    TPreviewLayout layout;
    layout.SetArea(1000, 2000);
    layout.SetPageCount(3);
    layout.SetClickMode(TPreviewLayout::ClickZoomIn);
    ASSERT_TRUE(layout.SetZoom(0.5f));
    ASSERT_EQ(layout.Columns(), 2);
    const int c = layout.CentringOffset();
    ASSERT_EQ(c, (1000 - (2 * 408 + 90)) / 2);
    const std::vector<Case> cases = {
        {c + 30, 30, 0, 0, 0},
        {c + 30 + 204, 30 + 100, 0, 408, 200},
        {c + 30 + 407, 30 + 527, 0, 814, 1054},
        {c + 30 + 408 + 30 + 10, 31, 1, 20, 2},
        {c + 30 + 10, 30 + 528 + 30 + 5, 2, 20, 10},
        {c + 20, 100, -1, -1, -1},                        // left margin
        {c + 30 + 408 + 10, 100, -1, -1, -1},             // gap between the columns
        {c + 30 + 100, 30 + 528 + 10, -1, -1, -1},        // gap between the rows
        {c + 30 + 438 + 100, 30 + 558 + 100, -1, -1, -1}, // where a fourth page would be
        {c + 30 + 2 * 438 + 20, 100, -1, -1, -1},         // right of the last column
    };
    for (const Case& t : cases) {
        EXPECT_EQ(layout.HitTest(t.x, t.y), t.page >= 0) << t.x << "," << t.y;
        EXPECT_EQ(layout.AnchorPage(), t.page) << t.x << "," << t.y;
        EXPECT_EQ(layout.AnchorX(), t.ax) << t.x << "," << t.y;
        EXPECT_EQ(layout.AnchorY(), t.ay) << t.x << "," << t.y;
    }
}

TEST(PreviewLayoutTest, AClickRightOfASingleColumnSelectsNoOtherPage) {
    TPreviewLayout layout;
    layout.SetArea(1800, 900);
    layout.SetPageCount(6);
    layout.FullPage();
    ASSERT_EQ(layout.Columns(), 1);
    const TPreviewRect first = layout.PageRect(0);
    for (int x = first.Right() + 1; x < 1800 - 17; x += 7) {
        EXPECT_FALSE(layout.LeftButtonDown(x, first.top + 10).pageChanged) << x;
    }
    EXPECT_EQ(layout.CurrentPage(), -1);
}

TEST(PreviewLayoutTest, ClicksSelectPagesAndAGapLeavesTheCurrentPage) {
    TPreviewLayout layout = Layout(1800, 1200, 3);
    int x = 0;
    int y = 0;
    PageCentre(layout, 1, x, y);
    EXPECT_TRUE(layout.LeftButtonDown(x, y).pageChanged);
    EXPECT_EQ(layout.CurrentPage(), 1);
    EXPECT_FALSE(layout.LeftButtonDown(x, y).pageChanged); // the same page again

    // A gap sets the anchor to none and leaves the current page; the next accepted zoom
    // anchors at the top middle of the current page.
    const TPreviewRect r = layout.PageRect(1);
    const TPreviewLayout::TClick gap = layout.LeftButtonDown(r.left - 10, y);
    EXPECT_FALSE(gap.pageChanged);
    EXPECT_EQ(layout.CurrentPage(), 1);
    EXPECT_EQ(layout.AnchorPage(), -1);
    layout.SetClickMode(TPreviewLayout::ClickZoomIn);
    ASSERT_TRUE(layout.SetZoom(2.0f));
    EXPECT_EQ(layout.AnchorPage(), 1);
    EXPECT_EQ(layout.AnchorX(), 408);
    EXPECT_EQ(layout.AnchorY(), 0);
}

TEST(PreviewLayoutTest, ClickZoomKeepsThePointClickedInTheMiddleOfTheView) {
    TPreviewLayout layout = Layout(700, 800, 4);
    layout.ScrollYTo(2000);
    layout.SetClickMode(TPreviewLayout::ClickZoomIn);
    const TPreviewRect page = layout.PageRect(2);
    const int x = page.left + 500;
    const int y = page.top + 300;
    ASSERT_LT(y, layout.ClientHeight());
    ASSERT_TRUE(layout.LeftButtonDown(x, y).zoomed);
    EXPECT_EQ(layout.CurrentPage(), 2);
    EXPECT_FLOAT_EQ(layout.Zoom(), 1.1f);
    const TPreviewRect zoomed = layout.PageRect(2);
    EXPECT_NEAR(zoomed.left + 500 * 1.1, layout.ClientWidth() / 2, 1.0);
    EXPECT_NEAR(zoomed.top + 300 * 1.1, layout.ClientHeight() / 2, 1.0);
}

TEST(PreviewLayoutTest, ScrollingStaysWithinTheRange) {
    TPreviewLayout layout = Layout(600, 500, 2);
    ASSERT_TRUE(layout.VerticalBarShown());
    const int maxY = layout.ScrollMaxY();
    EXPECT_EQ(maxY, 2 * 1056 + 90 - layout.ClientHeight());
    EXPECT_FALSE(layout.ScrollYTo(-5));
    EXPECT_TRUE(layout.ScrollYTo(maxY + 100));
    EXPECT_EQ(layout.ScrollY(), maxY);
    EXPECT_TRUE(layout.Wheel(120)); // upward
    EXPECT_EQ(layout.ScrollY(), maxY - 120);
    EXPECT_TRUE(layout.Wheel(-240));
    EXPECT_EQ(layout.ScrollY(), maxY);
    EXPECT_EQ(layout.PageRect(1).top, 30 + 1086 - maxY);
    EXPECT_TRUE(layout.ScrollXTo(layout.ScrollMaxX() + 1));
    EXPECT_EQ(layout.ScrollX(), layout.ScrollMaxX());
}

TEST(PreviewLayoutTest, AShownBarTakesItsSpaceFromTheClientArea) {
    const TPreviewLayout layout = Layout(600, 500, 1);
    ASSERT_TRUE(layout.HorizontalBarShown());
    ASSERT_TRUE(layout.VerticalBarShown());
    EXPECT_EQ(layout.ClientWidth(), 583);
    EXPECT_EQ(layout.ClientHeight(), 483);
    EXPECT_EQ(layout.ScrollMaxX(), 876 - 583);
    EXPECT_EQ(layout.VisibleRect(), (TPreviewRect{0, 0, 583, 483}));
}

} // namespace
