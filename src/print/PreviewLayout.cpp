#include "print/PreviewLayout.h"

#include <algorithm>
#include <cmath>

namespace {

// Nearest integer, a half going to the even neighbour.
int Rnd(double value) {
    return static_cast<int>(std::nearbyint(value));
}

} // namespace

void TPreviewLayout::SetArea(int width, int height) {
    m_areaWidth = std::max(0, width);
    m_areaHeight = std::max(0, height);
}

void TPreviewLayout::SetScrollBarExtents(int verticalBarWidth, int horizontalBarHeight) {
    m_vBarWidth = std::max(0, verticalBarWidth);
    m_hBarHeight = std::max(0, horizontalBarHeight);
}

void TPreviewLayout::SetPageSize(int width, int height) {
    m_pageWidth = std::max(1, width);
    m_pageHeight = std::max(1, height);
}

int TPreviewLayout::ScaledPageWidth() const {
    return Rnd(m_pageWidth * static_cast<double>(m_zoom));
}

int TPreviewLayout::ScaledPageHeight() const {
    return Rnd(m_pageHeight * static_cast<double>(m_zoom));
}

double TPreviewLayout::FullPageFactor() const {
    return std::min(static_cast<double>(ClientWidth() - m_vBarWidth - 2 * Gap) / m_pageWidth,
                    static_cast<double>(ClientHeight() - m_hBarHeight - 2 * Gap) / m_pageHeight);
}

double TPreviewLayout::ModeFactor() const {
    if (m_zoomMode == ZoomFullPage) {
        // A panel too small for a page would give a zero or negative scale, and with it a
        // grid that never stops growing; the smallest zoom the panel accepts stands in.
        return std::max(FullPageFactor(), static_cast<double>(MinZoom));
    }
    return 1.0;
}

void TPreviewLayout::UpdateLayout() {
    if (m_pageCount <= 0) {
        m_currentPage = -1;
        m_scrollX = m_scrollY = 0;
        m_scrollMaxX = m_scrollMaxY = 0;
        m_hBar = m_vBar = false;
        return;
    }
    if (m_zoomMode != ZoomFree) {
        m_zoom = static_cast<float>(ModeFactor());
    }
    const int pw = ScaledPageWidth();
    const int ph = ScaledPageHeight();

    m_columns = 1;
    int free = ClientWidth() - (pw + 2 * Gap);
    while (free > pw + Gap) {
        ++m_columns;
        free -= pw + Gap;
    }
    if (m_singleColumn) {
        m_columns = 1;
    }
    m_rows = (m_pageCount + m_columns - 1) / m_columns;
    const int totalWidth = m_columns * pw + (m_columns + 1) * Gap;
    const int totalHeight = m_rows * ph + (m_rows + 1) * Gap;

    m_hBar = totalWidth > ClientWidth();
    if (!m_hBar) {
        m_scrollX = 0;
    }
    m_vBar = totalHeight > ClientHeight();
    if (!m_vBar) {
        m_scrollY = 0;
    }
    m_centring = std::max(0, (ClientWidth() - totalWidth) / 2);
    m_scrollMaxX = std::max(0, totalWidth - ClientWidth());
    m_scrollMaxY = std::max(0, totalHeight - ClientHeight());

    if (m_hBar) {
        const int x = (m_anchorPage % m_columns) * (pw + Gap) + Gap +
                      Rnd(m_anchorX * static_cast<double>(m_zoom)) - ClientWidth() / 2;
        m_scrollX = std::clamp(x, 0, m_scrollMaxX);
    }
    if (m_vBar) {
        const int y = (m_anchorPage / m_columns) * (ph + Gap) + Gap +
                      Rnd(m_anchorY * static_cast<double>(m_zoom)) - ClientHeight() / 2;
        m_scrollY = std::clamp(y, 0, m_scrollMaxY);
    }
}

void TPreviewLayout::Clear() {
    m_currentPage = -1;
    m_scrollX = m_scrollY = 0;
    UpdateLayout();
}

bool TPreviewLayout::SetZoom(float factor) {
    // Compared as stored: a request for exactly 0.1 is the float nearest to it, which is
    // slightly above 0.1 and so accepted.
    if (static_cast<double>(factor) < 0.1 || factor >= MaxZoom || factor == m_zoom) {
        return false;
    }
    m_zoom = factor;
    if (m_anchorPage == -1) {
        m_anchorPage = m_currentPage;
        m_anchorX = m_pageWidth / 2;
        m_anchorY = 0;
    }
    UpdateLayout();
    return true;
}

void TPreviewLayout::ActualSize() {
    m_singleColumn = false;
    m_zoomMode = ZoomActualSize;
    SetZoom(1.0f);
}

void TPreviewLayout::FullPage() {
    m_singleColumn = true;
    m_zoomMode = ZoomFullPage;
    SetZoom(static_cast<float>(FullPageFactor()));
}

bool TPreviewLayout::SetClickMode(uint8_t mode) {
    if (mode == m_clickMode) {
        return false;
    }
    m_clickMode = mode;
    if (mode == ClickZoomIn || mode == ClickZoomOut) {
        m_zoomMode = ZoomFree;
    }
    return true;
}

bool TPreviewLayout::SetCurrentPage(int index) {
    if (index == m_currentPage) {
        return false;
    }
    m_currentPage = index;
    return true;
}

TPreviewLayout::TClick TPreviewLayout::LeftButtonDown(int x, int y) {
    TClick click;
    if (!HitTest(x, y)) {
        return click;
    }
    click.pageChanged = SetCurrentPage(m_anchorPage);
    const double zoom = m_zoom;
    if (m_clickMode == ClickZoomIn) {
        m_singleColumn = false;
        click.zoomed = SetZoom(static_cast<float>(std::min(zoom + 0.1, 5.0)));
    } else if (m_clickMode == ClickZoomOut) {
        m_singleColumn = false;
        click.zoomed = SetZoom(static_cast<float>(std::max(zoom - 0.1, 0.1)));
    }
    return click;
}

bool TPreviewLayout::HitTest(int x, int y) {
    const int cellWidth = ScaledPageWidth() + Gap;
    const int cellHeight = ScaledPageHeight() + Gap;
    const int ax = x + m_scrollX - m_centring;
    const int ay = y + m_scrollY;
    const int column = ax / cellWidth;
    const int row = ay / cellHeight;
    const double zoom = m_zoom;
    m_anchorPage = column + row * m_columns;
    m_anchorX = Rnd((ax % cellWidth - Gap) / zoom);
    m_anchorY = Rnd((ay % cellHeight - Gap) / zoom);
    // Right of the last column the cell arithmetic would run on into the next row's
    // pages, and below the last row past the last page: neither is a page.
    const bool onPage = m_anchorX >= 0 && m_anchorX < m_pageWidth && m_anchorY >= 0 &&
                        m_anchorY < m_pageHeight && column < m_columns &&
                        m_anchorPage < m_pageCount;
    if (!onPage) {
        m_anchorPage = m_anchorX = m_anchorY = -1;
    }
    return onPage;
}

bool TPreviewLayout::ScrollXTo(int value) {
    const int x = std::clamp(value, 0, m_scrollMaxX);
    const bool changed = x != m_scrollX;
    m_scrollX = x;
    return changed;
}

bool TPreviewLayout::ScrollYTo(int value) {
    const int y = std::clamp(value, 0, m_scrollMaxY);
    const bool changed = y != m_scrollY;
    m_scrollY = y;
    return changed;
}

TPreviewRect TPreviewLayout::PageRect(int index) const {
    const int pw = ScaledPageWidth();
    const int ph = ScaledPageHeight();
    return {(index % m_columns) * (pw + Gap) + Gap + m_centring - m_scrollX,
            (index / m_columns) * (ph + Gap) + Gap - m_scrollY, pw, ph};
}
