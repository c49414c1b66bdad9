#pragma once
// The geometry of the preview panel: zoom, the grid of pages, scrolling and hit testing.
// Sizes are screen pixels; page points are page units (one unit is one pixel at zoom 1).
//
// The panel's client area is the area without scroll bars; a bar that is shown takes its
// width (height) from it at once, so later steps of a layout see the smaller client area,
// as a window does when a bar appears.

#include <cstdint>

struct TPreviewRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int Right() const { return left + width; }
    int Bottom() const { return top + height; }
    bool Intersects(const TPreviewRect& other) const {
        return left < other.Right() && other.left < Right() && top < other.Bottom() &&
               other.top < Bottom();
    }
    bool operator==(const TPreviewRect&) const = default;
};

class TPreviewLayout {
public:
    enum : uint8_t { ZoomActualSize = 1, ZoomFullPage = 2, ZoomFree = 5 };
    enum : uint8_t { ClickNone = 0, ClickZoomIn = 2, ClickZoomOut = 3 };
    static constexpr int Gap = 30;
    static constexpr float MinZoom = 0.1f;
    static constexpr float MaxZoom = 5.0f; // refused itself: zooming stops below it
    static constexpr int LineStep = 5;
    static constexpr int PageStep = 20;

    // --- the panel's size and pages ---
    void SetArea(int width, int height); // the client size with no scroll bar shown
    void SetScrollBarExtents(int verticalBarWidth, int horizontalBarHeight);
    void SetPageSize(int width, int height);
    void SetPageCount(int count) { m_pageCount = count; }
    int PageCount() const { return m_pageCount; }
    int ClientWidth() const { return m_areaWidth - (m_vBar ? m_vBarWidth : 0); }
    int ClientHeight() const { return m_areaHeight - (m_hBar ? m_hBarHeight : 0); }

    // --- operations of the panel ---
    // Recomputes zoom (unless free), grid, scroll bars and scroll position, keeping the
    // anchor point in the middle of the view as far as the scroll range allows.
    void UpdateLayout();
    // Current page := -1 and scroll position 0, then UpdateLayout (page count as set).
    void Clear();
    // False when refused: below 0.1, at or above 5, or equal to the zoom. Otherwise
    // anchors at the top middle of the current page when no anchor is set, and lays out.
    bool SetZoom(float factor);
    void ActualSize();
    void FullPage();
    double FullPageFactor() const;
    // True when the click mode changed.
    bool SetClickMode(uint8_t mode);
    // True when the current page changed.
    bool SetCurrentPage(int index);

    // A left-button press at a client point: selects the page under it and zooms by the
    // click mode. A press in a gap, or past the last page, selects nothing.
    struct TClick {
        bool pageChanged = false;
        bool zoomed = false;
    };
    TClick LeftButtonDown(int x, int y);

    // The anchor := the page point under a client point; false (anchor -1) when no page
    // is there.
    bool HitTest(int x, int y);

    // Scroll position limited to 0..max; true when it changed.
    bool ScrollXTo(int value);
    bool ScrollYTo(int value);
    // The mouse wheel: a positive delta scrolls up.
    bool Wheel(int delta) { return ScrollYTo(m_scrollY - delta); }

    TPreviewRect PageRect(int index) const;
    TPreviewRect VisibleRect() const { return {0, 0, ClientWidth(), ClientHeight()}; }

    // --- state ---
    float Zoom() const { return m_zoom; }
    uint8_t ZoomMode() const { return m_zoomMode; }
    uint8_t ClickMode() const { return m_clickMode; }
    bool SingleColumn() const { return m_singleColumn; }
    int CurrentPage() const { return m_currentPage; }
    int PageWidth() const { return m_pageWidth; }
    int PageHeight() const { return m_pageHeight; }
    int ScaledPageWidth() const;
    int ScaledPageHeight() const;
    int Columns() const { return m_columns; }
    int Rows() const { return m_rows; }
    int CentringOffset() const { return m_centring; }
    int ScrollX() const { return m_scrollX; }
    int ScrollY() const { return m_scrollY; }
    int ScrollMaxX() const { return m_scrollMaxX; }
    int ScrollMaxY() const { return m_scrollMaxY; }
    bool HorizontalBarShown() const { return m_hBar; }
    bool VerticalBarShown() const { return m_vBar; }
    int AnchorPage() const { return m_anchorPage; }
    int AnchorX() const { return m_anchorX; }
    int AnchorY() const { return m_anchorY; }

private:
    double ModeFactor() const;

    uint8_t m_zoomMode = ZoomActualSize;
    bool m_singleColumn = false;
    int m_areaWidth = 200;
    int m_areaHeight = 200;
    int m_vBarWidth = 17;
    int m_hBarHeight = 17;
    bool m_hBar = false;
    bool m_vBar = false;
    int m_scrollX = 0;
    int m_scrollY = 0;
    int m_scrollMaxX = 0;
    int m_scrollMaxY = 0;
    int m_columns = 1;
    int m_rows = 0;
    int m_centring = 0;
    int m_pageCount = 0;
    int m_currentPage = -1;
    int m_pageWidth = 816; // 8.5 x 11 inches at 96 units per inch
    int m_pageHeight = 1056;
    float m_zoom = 1.0f;
    int m_anchorPage = 0;
    int m_anchorX = 0;
    int m_anchorY = 0;
    uint8_t m_clickMode = ClickNone;
};
