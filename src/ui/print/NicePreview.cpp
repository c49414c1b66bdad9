#include "ui/print/NicePreview.h"

#include "ui/print/PrinterSeam.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QWheelEvent>

#include <stdexcept>

namespace {

const QColor CurrentPageOutline(49, 106, 197);
constexpr int ShadowWidth = 4;

// A magnifying glass with a plus or a minus, the hot spot in the middle of the lens.
QCursor ZoomCursor(bool zoomIn) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    // A white halo keeps the glass visible on the dark panel and on the white pages.
    struct Stroke {
        QColor color;
        double width;
    };
    const Stroke strokes[] = {{Qt::white, 4.0}, {Qt::black, 1.6}};
    for (const auto& [color, width] : strokes) {
        p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(12, 12), 8, 8);
        p.setPen(QPen(color, width + 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(18, 18), QPointF(27, 27));
        p.setPen(QPen(color, width - 0.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8.5, 12), QPointF(15.5, 12));
        if (zoomIn) {
            p.drawLine(QPointF(12, 8.5), QPointF(12, 15.5));
        }
    }
    p.end();
    return QCursor(pixmap, 12, 12);
}

} // namespace

TNicePreview::TNicePreview(QWidget* parent) : QAbstractScrollArea(parent) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Dark));
    setPalette(pal);
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, true);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (QScrollBar* bar : {horizontalScrollBar(), verticalScrollBar()}) {
        bar->setSingleStep(TPreviewLayout::LineStep);
        bar->setPageStep(TPreviewLayout::PageStep);
        bar->setRange(0, 0);
    }
    resize(200, 200);
    TakeArea();
}

TNicePreview::~TNicePreview() {
    // A page left open must be closed before its picture goes.
    if (m_canvas) {
        m_canvas->end();
    }
}

void TNicePreview::TakeArea() {
    const QSize area = maximumViewportSize();
    m_layout.SetArea(area.width(), area.height());
    m_layout.SetScrollBarExtents(verticalScrollBar()->sizeHint().width(),
                                 horizontalScrollBar()->sizeHint().height());
}

void TNicePreview::SyncScrollBars() {
    m_syncing = true;
    setHorizontalScrollBarPolicy(m_layout.HorizontalBarShown() ? Qt::ScrollBarAlwaysOn
                                                               : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(m_layout.VerticalBarShown() ? Qt::ScrollBarAlwaysOn
                                                           : Qt::ScrollBarAlwaysOff);
    horizontalScrollBar()->setRange(0, m_layout.ScrollMaxX());
    horizontalScrollBar()->setValue(m_layout.ScrollX());
    verticalScrollBar()->setRange(0, m_layout.ScrollMaxY());
    verticalScrollBar()->setValue(m_layout.ScrollY());
    m_syncing = false;
}

void TNicePreview::UpdateLayout() {
    m_layout.SetPageCount(PageCount());
    TakeArea();
    m_layout.UpdateLayout();
    SyncScrollBars();
    viewport()->update();
    emit changed();
}

void TNicePreview::Clear() {
    if (m_canvas) {
        m_canvas->end();
        m_canvas.reset();
    }
    m_pages.clear();
    m_layout.SetPageCount(0);
    TakeArea();
    m_layout.Clear();
    SyncScrollBars();
    viewport()->update();
    emit changed();
}

QPainter* TNicePreview::BeginPage() {
    EndPage();
    m_pages.push_back(std::make_unique<QPicture>());
    UpdateLayout();
    m_canvas = std::make_unique<QPainter>(m_pages.back().get());
    return m_canvas.get();
}

void TNicePreview::EndPage() {
    if (!m_canvas) {
        return;
    }
    m_canvas->end();
    m_canvas.reset();
    m_pages.back()->setBoundingRect(QRect(0, 0, PageWidth(), PageHeight()));
    viewport()->update();
}

void TNicePreview::SetCurrentPage(int index) {
    if (m_layout.SetCurrentPage(index)) {
        viewport()->update();
        emit changed();
    }
}

void TNicePreview::SetZoom(float factor) {
    m_layout.SetPageCount(PageCount());
    TakeArea();
    if (m_layout.SetZoom(factor)) {
        SyncScrollBars();
        viewport()->update();
        emit changed();
    }
}

void TNicePreview::ActualSize() {
    m_layout.SetPageCount(PageCount());
    TakeArea();
    const float before = m_layout.Zoom();
    m_layout.ActualSize();
    if (m_layout.Zoom() != before) {
        SyncScrollBars();
        viewport()->update();
        emit changed();
    }
}

void TNicePreview::FullPage() {
    m_layout.SetPageCount(PageCount());
    TakeArea();
    const float before = m_layout.Zoom();
    m_layout.FullPage();
    if (m_layout.Zoom() != before) {
        SyncScrollBars();
        viewport()->update();
        emit changed();
    }
}

void TNicePreview::SetClickMode(uint8_t mode) {
    if (!m_layout.SetClickMode(mode)) {
        return;
    }
    if (mode == TPreviewLayout::ClickZoomIn) {
        static const QCursor zoomIn = ZoomCursor(true);
        viewport()->setCursor(zoomIn);
    } else if (mode == TPreviewLayout::ClickZoomOut) {
        static const QCursor zoomOut = ZoomCursor(false);
        viewport()->setCursor(zoomOut);
    } else {
        viewport()->unsetCursor();
    }
    emit changed();
}

void TNicePreview::DrawPage(QPainter& painter, const QPicture& page, const QRectF& target,
                            QSizeF pageSize) {
    // Playing a picture scales it from its own resolution to the device's by itself; the
    // target rectangle is in device pixels already, so that scale is taken back out.
    const QPaintDevice* device = painter.device();
    const double dpiX =
        device != nullptr ? static_cast<double>(page.logicalDpiX()) / device->logicalDpiX() : 1.0;
    const double dpiY =
        device != nullptr ? static_cast<double>(page.logicalDpiY()) / device->logicalDpiY() : 1.0;
    painter.save();
    painter.translate(target.topLeft());
    painter.scale(target.width() / pageSize.width() * dpiX,
                  target.height() / pageSize.height() * dpiY);
    painter.drawPicture(0, 0, page);
    painter.restore();
}

void TNicePreview::PrintAll(TPrinterSeam& printer) {
    std::vector<int> pages(m_pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        pages[i] = static_cast<int>(i);
    }
    PrintPages(printer, pages);
}

void TNicePreview::PrintPages(TPrinterSeam& printer, const std::vector<int>& pages) {
    if (pages.empty()) {
        return;
    }
    for (const int index : pages) {
        if (index < 0 || index >= PageCount()) {
            throw std::out_of_range("There is no such page.");
        }
    }
    QPainter& painter = printer.BeginJob(Title);
    try {
        const QRectF sheet = printer.SheetRect();
        const QSizeF pageSize(PageWidth(), PageHeight());
        for (size_t i = 0; i < pages.size(); ++i) {
            if (i > 0) {
                printer.NewSheet();
            }
            DrawPage(painter, *m_pages[static_cast<size_t>(pages[i])], sheet, pageSize);
        }
    } catch (...) {
        printer.EndJob();
        throw;
    }
    printer.EndJob();
}

void TNicePreview::PrintPage(TPrinterSeam& printer, int index) {
    if (index < 0 || index >= PageCount()) {
        throw std::out_of_range("There is no such page.");
    }
    QPainter& painter =
        printer.BeginJob(Title + QStringLiteral(" - Page ") + QString::number(index + 1));
    try {
        DrawPage(painter, *m_pages[static_cast<size_t>(index)], printer.SheetRect(),
                 QSizeF(PageWidth(), PageHeight()));
    } catch (...) {
        printer.EndJob();
        throw;
    }
    printer.EndJob();
}

void TNicePreview::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(viewport());
    p.fillRect(viewport()->rect(), palette().color(QPalette::Window));
    const TPreviewRect visible = m_layout.VisibleRect();
    const QSizeF pageSize(PageWidth(), PageHeight());
    for (int i = 0; i < PageCount(); ++i) {
        const TPreviewRect r = m_layout.PageRect(i);
        if (!r.Intersects(visible)) {
            continue;
        }
        const QRect page(r.left, r.top, r.width, r.height);
        p.fillRect(page, Qt::white);
        p.setPen(i == CurrentPage() ? CurrentPageOutline : QColor(Qt::black));
        p.setBrush(Qt::NoBrush);
        p.drawRect(page.adjusted(0, 0, -1, -1));
        p.fillRect(QRect(r.Right(), r.top + ShadowWidth, ShadowWidth, r.height), Qt::black);
        p.fillRect(QRect(r.left + ShadowWidth, r.Bottom(), r.width - ShadowWidth, ShadowWidth),
                   Qt::black);
        if (!(m_canvas && i == PageCount() - 1)) {
            DrawPage(p, *m_pages[static_cast<size_t>(i)], page, pageSize);
        }
    }
}

void TNicePreview::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    // The grid follows the new size only at the next Clear, BeginPage or zoom.
    TakeArea();
}

void TNicePreview::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPoint at = event->position().toPoint();
        const TPreviewLayout::TClick click = m_layout.LeftButtonDown(at.x(), at.y());
        if (click.pageChanged) {
            viewport()->update();
            emit changed();
        }
        if (click.zoomed) {
            SyncScrollBars();
            viewport()->update();
            emit changed();
        }
    }
    setFocus(Qt::MouseFocusReason);
    QAbstractScrollArea::mousePressEvent(event);
}

void TNicePreview::wheelEvent(QWheelEvent* event) {
    if (m_layout.Wheel(event->angleDelta().y())) {
        SyncScrollBars();
        viewport()->update();
    }
    event->accept();
}

void TNicePreview::scrollContentsBy(int /*dx*/, int /*dy*/) {
    if (m_syncing) {
        return;
    }
    const bool moved = m_layout.ScrollXTo(horizontalScrollBar()->value()) |
                       m_layout.ScrollYTo(verticalScrollBar()->value());
    if (moved) {
        viewport()->update();
    }
}
