#pragma once
// The preview panel: a scrollable grid of page images shown as white sheets with a
// shadow, zoomed with the mouse, and sent to the printer from here. It knows nothing of
// where the pages come from: a client clears it, then adds pages one by one by drawing
// on the canvas that BeginPage hands out.

#include "print/PreviewLayout.h"

#include <QAbstractScrollArea>
#include <QPicture>
#include <QString>

#include <memory>
#include <vector>

class QPainter;
class TPrinterSeam;

class TNicePreview : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TNicePreview(QWidget* parent = nullptr);
    ~TNicePreview() override;

    // The job title of printed pages.
    QString Title = QStringLiteral("Printing ...");

    void Clear();
    // A new page of PageWidth x PageHeight page units at the end of the list, and a canvas
    // on it that stays valid until EndPage.
    QPainter* BeginPage();
    void EndPage();
    int PageCount() const { return static_cast<int>(m_pages.size()); }
    const QPicture& Page(int index) const { return *m_pages.at(static_cast<size_t>(index)); }
    int CurrentPage() const { return m_layout.CurrentPage(); }
    void SetCurrentPage(int index);
    void SetZoom(float factor);
    float Zoom() const { return m_layout.Zoom(); }
    void ActualSize();
    void FullPage();
    void SetClickMode(uint8_t mode);
    uint8_t ClickMode() const { return m_layout.ClickMode(); }
    int PageWidth() const { return m_layout.PageWidth(); }
    int PageHeight() const { return m_layout.PageHeight(); }
    // Every page in one job, a sheet each; nothing without pages.
    void PrintAll(TPrinterSeam& printer);
    // One page (0-based) in a job of its own; throws std::out_of_range for no such page.
    void PrintPage(TPrinterSeam& printer, int index);
    // The pages (0-based, repeats allowed) in this order in one job, a sheet each; nothing
    // for none. Throws std::out_of_range, before the job starts, for no such page.
    void PrintPages(TPrinterSeam& printer, const std::vector<int>& pages);

    const TPreviewLayout& Layout() const { return m_layout; }
    // Draws one page image stretched over a rectangle of a painter.
    static void DrawPage(QPainter& painter, const QPicture& page, const QRectF& target,
                         QSizeF pageSize);

signals:
    // After layout, current-page and click-mode changes.
    void changed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void UpdateLayout();
    void SyncScrollBars();
    void TakeArea();

    TPreviewLayout m_layout;
    std::vector<std::unique_ptr<QPicture>> m_pages;
    std::unique_ptr<QPainter> m_canvas;
    bool m_syncing = false;
};
