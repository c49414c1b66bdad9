#pragma once
// The page layout routines: the traffic view's styled text laid out page by page in the
// views' fonts and drawn onto a canvas, stretched into an area of it.

#include "print/PageLayout.h"

#include <QRectF>

#include <limits>
#include <memory>

class QPainter;

class TPrintPaginator {
public:
    // The layout size of one page of text.
    static constexpr double LayoutWidthInches = 9.5;
    static constexpr double LayoutHeightInches = 13.2;

    TPrintPaginator();
    ~TPrintPaginator();

    // A new pagination of source: next and last back to the start.
    void Reset(const StyledText& source);
    // The same for text already taken apart (on another thread, say).
    void Reset(TPrintText&& source);
    // A new pagination of the first lines of a text whose whole comes later (Complete):
    // meanwhile only the pages that end before the head's last line are laid out, as
    // those are the same pages the whole text gives.
    void ResetHead(TPrintText&& head);
    // The whole text, which starts with the head given to ResetHead: the pagination goes
    // on where the head's pages ended.
    void Complete(TPrintText&& whole);
    // Whether only a head is there (ResetHead without Complete).
    bool HeadOnly() const { return m_endBefore != NoLimit; }
    // Whether laying out from next gives a page that ends beyond the last page drawn (and,
    // with only a head, before the head's last line).
    bool HasMorePages(double widthInches, double heightInches) const;
    // Lays out the page at next, draws it stretched into area of canvas unless it ends at
    // or before the last page drawn, and moves next and last on.
    void DrawNextPage(QPainter& canvas, const QRectF& area, double widthInches,
                      double heightInches);

    int64_t Next() const { return m_paginator.Next(); }
    int64_t Last() const { return m_paginator.Last(); }
    const TPrintText& Source() const { return m_source; }

private:
    class TQtTextMeasure;
    static constexpr int64_t NoLimit = std::numeric_limits<int64_t>::max();

    TPrintText m_source;
    int64_t m_endBefore = NoLimit;
    TPaginator m_paginator;
    std::unique_ptr<TQtTextMeasure> m_measure;
};
