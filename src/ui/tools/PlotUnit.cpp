#include "ui/tools/PlotUnit.h"

#include "codec/HexCodec.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr int kLeftMargin = 64;
constexpr int kRightMargin = 10;
constexpr int kTopMargin = 8;
constexpr int kBottomMargin = 22;
constexpr uint64_t kDefaultSpanMs = 30000;
constexpr uint64_t kMinSpanMs = 10;
// The pointer must be this close (pixels) to a sample to show or choose it.
constexpr double kHitRadius = 8;

// A step of 1, 2 or 5 times a power of ten giving about `count` steps over `range`.
double NiceStep(double range, int count) {
    const double raw = range / std::max(count, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * power >= raw) {
            return m * power;
        }
    }
    return 10 * power;
}

QString TimeLabel(uint64_t timeMs, uint64_t step) {
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(timeMs));
    return time.toString(step < 1000 ? QStringLiteral("hh:mm:ss.zzz") : QStringLiteral("hh:mm:ss"));
}

} // namespace

// --- the plot ---

TPlotView::TPlotView(const TSampleSet& samples, QWidget* parent)
    : QWidget(parent), m_samples(samples) {
    setObjectName(QStringLiteral("PlotView"));
    setMouseTracking(true);
    setMinimumSize(200, 120);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor TPlotView::SeriesColor(size_t series) {
    static const QColor kColors[] = {
        QColor(31, 119, 180),  QColor(214, 39, 40),  QColor(44, 160, 44),   QColor(255, 127, 14),
        QColor(148, 103, 189), QColor(140, 86, 75),  QColor(227, 119, 194), QColor(23, 190, 207),
        QColor(188, 189, 34),  QColor(0, 0, 0),      QColor(0, 0, 139),     QColor(139, 0, 0),
        QColor(0, 100, 0),     QColor(184, 134, 11), QColor(75, 0, 130),    QColor(112, 128, 144),
    };
    return kColors[series % std::size(kColors)];
}

void TPlotView::SetVisible(size_t series, bool visible) {
    if (m_hidden.size() <= series) {
        m_hidden.resize(series + 1, false);
    }
    m_hidden[series] = !visible;
    update();
}

bool TPlotView::IsVisible(size_t series) const {
    return series >= m_hidden.size() || !m_hidden[series];
}

QRect TPlotView::PlotRect() const {
    return QRect(kLeftMargin, kTopMargin, std::max(1, width() - kLeftMargin - kRightMargin),
                 std::max(1, height() - kTopMargin - kBottomMargin));
}

std::pair<uint64_t, uint64_t> TPlotView::TimeWindow() const {
    const uint64_t end = m_frozen ? m_end : m_samples.LastTime() + 1;
    return {end > m_span ? end - m_span : 0, std::max<uint64_t>(end, 1)};
}

void TPlotView::Freeze() {
    if (!m_frozen) {
        m_end = TimeWindow().second;
        m_frozen = true;
    }
}

void TPlotView::SetPaused(bool paused) {
    m_paused = paused;
    if (paused) {
        Freeze();
    } else {
        m_frozen = false;
    }
    update();
}

void TPlotView::SetSpanMs(uint64_t span) {
    m_span = std::max(span, kMinSpanMs);
    update();
}

void TPlotView::SetFixedRange(std::optional<std::pair<double, double>> range) {
    if (range && !(range->first < range->second)) {
        range.reset();
    }
    m_fixedRange = range;
    update();
}

void TPlotView::SetHomeRange(std::optional<std::pair<double, double>> range) {
    if (range && !(range->first < range->second)) {
        range.reset();
    }
    m_homeRange = range;
    m_fixedRange = range;
    update();
}

void TPlotView::Reset() {
    m_frozen = false;
    if (m_paused) {
        Freeze();
    }
    m_span = kDefaultSpanMs;
    m_fixedRange = m_homeRange;
    update();
}

uint64_t TPlotView::TimeAtX(double x) const {
    const QRect area = PlotRect();
    const auto [t0, t1] = m_shownWindow;
    const double at = (x - area.left()) / area.width() * static_cast<double>(t1 - t0);
    return at <= 0 ? t0 : t0 + static_cast<uint64_t>(at);
}

double TPlotView::ValueAtY(double y) const {
    const QRect area = PlotRect();
    const auto [low, high] = m_shownRange;
    return high - (y - area.top()) / area.height() * (high - low);
}

QPointF TPlotView::PixelOf(uint64_t timeMs, double value) const {
    const QRect area = PlotRect();
    const auto [t0, t1] = m_shownWindow;
    const auto [low, high] = m_shownRange;
    const double x = area.left() + (static_cast<double>(timeMs) - static_cast<double>(t0)) /
                                       static_cast<double>(t1 - t0) * area.width();
    const double y = area.top() + (high - value) / (high - low) * area.height();
    return {x, y};
}

void TPlotView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QRect area = PlotRect();
    m_shownWindow = TimeWindow();
    const auto [t0, t1] = m_shownWindow;
    const size_t columns = static_cast<size_t>(area.width());

    // Min/max per pixel column of every shown series, and the value range they need.
    std::vector<std::pair<size_t, std::vector<TSampleSeries::TColumn>>> drawn;
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (size_t s = 0; s < m_samples.Count(); ++s) {
        if (!IsVisible(s)) {
            continue;
        }
        auto cols = m_samples.Series(s).Decimate(t0, t1, columns);
        for (const auto& column : cols) {
            if (column.any) {
                low = std::min(low, column.min);
                high = std::max(high, column.max);
            }
        }
        drawn.emplace_back(s, std::move(cols));
    }
    if (m_fixedRange) {
        std::tie(low, high) = *m_fixedRange;
    } else if (!(low <= high)) {
        low = 0;
        high = 1;
    } else {
        const double pad = high > low ? (high - low) * 0.05 : std::max(std::abs(high) * 0.05, 0.5);
        low -= pad;
        high += pad;
    }
    m_shownRange = {low, high};

    // Grid and labels.
    const QColor grid = palette().mid().color();
    painter.setPen(QPen(grid, 0, Qt::DotLine));
    const QFontMetrics metrics(font());
    const double valueStep = NiceStep(high - low, std::max(2, area.height() / 40));
    for (double v = std::ceil(low / valueStep) * valueStep; v <= high; v += valueStep) {
        const int y = static_cast<int>(std::lround(PixelOf(t0, v).y()));
        painter.setPen(QPen(grid, 0, Qt::DotLine));
        painter.drawLine(area.left(), y, area.right(), y);
        painter.setPen(palette().text().color());
        const QString label = QString::number(std::abs(v) < valueStep / 1e6 ? 0.0 : v, 'g', 6);
        painter.drawText(QRect(0, y - 8, kLeftMargin - 4, 16), Qt::AlignRight | Qt::AlignVCenter,
                         label);
    }
    const double labelWidth = metrics.horizontalAdvance(QStringLiteral("00:00:00.000")) + 16;
    static constexpr uint64_t kTimeSteps[] = {
        1,    2,     5,     10,    20,    50,     100,    200,    500,     1000,   2000,
        5000, 10000, 15000, 30000, 60000, 120000, 300000, 600000, 1800000, 3600000};
    uint64_t timeStep = kTimeSteps[std::size(kTimeSteps) - 1];
    for (const uint64_t step : kTimeSteps) {
        if (static_cast<double>(step) / static_cast<double>(t1 - t0) * area.width() >= labelWidth) {
            timeStep = step;
            break;
        }
    }
    // Without samples the time axis has nothing to say.
    const uint64_t firstLabel =
        m_samples.Count() == 0 ? t1 : (t0 + timeStep - 1) / timeStep * timeStep;
    for (uint64_t t = firstLabel; t < t1; t += timeStep) {
        const int x = static_cast<int>(std::lround(PixelOf(t, low).x()));
        painter.setPen(QPen(grid, 0, Qt::DotLine));
        painter.drawLine(x, area.top(), x, area.bottom());
        painter.setPen(palette().text().color());
        // A label at the right edge moves left rather than being cut.
        const QString label = TimeLabel(t, timeStep);
        const int half = metrics.horizontalAdvance(label) / 2 + 1;
        const int centre = std::min(x, width() - half);
        painter.drawText(QRect(centre - half, area.bottom() + 2, 2 * half, kBottomMargin - 2),
                         Qt::AlignHCenter | Qt::AlignTop, label);
    }

    // The curves: a vertical stroke over each column's min..max, joined column to column.
    painter.setClipRect(area);
    const double scale = area.height() / (high - low);
    const auto yOf = [&](double v) { return area.top() + (high - v) * scale; };
    std::vector<QLineF> lines;
    for (const auto& [series, cols] : drawn) {
        lines.clear();
        size_t filled = 0;
        std::optional<QPointF> previous;
        for (size_t c = 0; c < cols.size(); ++c) {
            const TSampleSeries::TColumn& column = cols[c];
            if (!column.any) {
                continue;
            }
            ++filled;
            const double x = area.left() + static_cast<double>(c) + 0.5;
            if (previous) {
                lines.emplace_back(*previous, QPointF(x, yOf(column.first)));
            }
            if (column.max > column.min) {
                lines.emplace_back(x, yOf(column.max), x, yOf(column.min));
            }
            previous = QPointF(x, yOf(column.last));
        }
        const QColor color = SeriesColor(series);
        painter.setPen(QPen(color, 1));
        painter.drawLines(lines.data(), static_cast<int>(lines.size()));
        // Sparse samples get a dot each, so a lone reading is seen.
        if (filled * 6 < cols.size()) {
            painter.setBrush(color);
            for (size_t c = 0; c < cols.size(); ++c) {
                if (cols[c].any) {
                    painter.drawEllipse(
                        QPointF(area.left() + static_cast<double>(c) + 0.5, yOf(cols[c].last)), 2.0,
                        2.0);
                }
            }
            painter.setBrush(Qt::NoBrush);
        }
    }
    painter.setClipping(false);
    if (m_samples.Count() == 0) {
        painter.setPen(palette().placeholderText().color());
        painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, EmptyText);
    }
    if (m_pressAt && m_dragButton == Qt::LeftButton) {
        painter.setPen(QPen(palette().highlight().color(), 1, Qt::DashLine));
        painter.drawRect(QRect(*m_pressAt, m_dragTo).normalized());
    }
    painter.setPen(palette().text().color());
    painter.drawRect(area.adjusted(0, 0, -1, -1));
    if (m_paused) {
        painter.drawText(area.adjusted(0, 2, -6, 0), Qt::AlignRight | Qt::AlignTop, tr("paused"));
    }
}

std::optional<TPlotView::THit> TPlotView::SampleAt(QPointF point) const {
    std::optional<THit> best;
    double bestDistance = kHitRadius * kHitRadius;
    const uint64_t from = TimeAtX(point.x() - kHitRadius);
    const uint64_t to = TimeAtX(point.x() + kHitRadius) + 1;
    for (size_t s = 0; s < m_samples.Count(); ++s) {
        if (!IsVisible(s)) {
            continue;
        }
        const TSampleSeries& series = m_samples.Series(s);
        const size_t first = series.LowerBound(from);
        const size_t last = std::min(series.LowerBound(to), first + 4096);
        for (size_t i = first; i < last; ++i) {
            const QPointF at = PixelOf(series.TimeAt(i), series.ValueAt(i));
            const double dx = at.x() - point.x();
            const double dy = at.y() - point.y();
            if (dx * dx + dy * dy <= bestDistance) {
                bestDistance = dx * dx + dy * dy;
                best = THit{s, i};
            }
        }
    }
    return best;
}

void TPlotView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton) {
        m_pressAt = event->position().toPoint();
        m_dragTo = *m_pressAt;
        m_dragButton = event->button();
    }
}

void TPlotView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (m_pressAt && m_dragButton == Qt::RightButton) {
        // Pan: the window moves with the pointer, in time and (on a fixed range) in value.
        const QRect area = PlotRect();
        const auto [t0, t1] = m_shownWindow;
        const double dx = at.x() - m_dragTo.x();
        const double dt = dx / area.width() * static_cast<double>(t1 - t0);
        Freeze();
        const double end = static_cast<double>(m_end) - dt;
        m_end = end < static_cast<double>(m_span) ? m_span : static_cast<uint64_t>(end);
        const double dv = (at.y() - m_dragTo.y()) / static_cast<double>(area.height()) *
                          (m_shownRange.second - m_shownRange.first);
        m_fixedRange = std::make_pair(m_shownRange.first + dv, m_shownRange.second + dv);
        m_dragTo = at;
        update();
        return;
    }
    if (m_pressAt) {
        m_dragTo = at;
        update();
        return;
    }
    if (const std::optional<THit> hit = SampleAt(at)) {
        const TSampleSeries& series = m_samples.Series(hit->series);
        const QString name = QString::fromStdString(m_samples.Names().Names().at(hit->series));
        const QString time =
            QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(series.TimeAt(hit->index)))
                .toString(QStringLiteral("hh:mm:ss.zzz"));
        QToolTip::showText(
            event->globalPosition().toPoint(),
            QStringLiteral("%1  %2  %3")
                .arg(name, time, QString::number(series.ValueAt(hit->index), 'g', 10)),
            this);
    } else {
        QToolTip::hideText();
    }
}

void TPlotView::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_pressAt || event->button() != m_dragButton) {
        return;
    }
    const QPoint from = *m_pressAt;
    const QPoint to = event->position().toPoint();
    m_pressAt.reset();
    const bool dragged = (to - from).manhattanLength() > 4;
    if (m_dragButton == Qt::LeftButton && dragged) {
        // A rectangle: its times and values become the window.
        const QRect box = QRect(from, to).normalized();
        const uint64_t start = TimeAtX(box.left());
        const uint64_t end = TimeAtX(box.right());
        const double top = ValueAtY(box.top());
        const double bottom = ValueAtY(box.bottom());
        if (end > start + 1 && top > bottom) {
            m_frozen = true;
            m_end = end;
            m_span = std::max(end - start, kMinSpanMs);
            m_fixedRange = std::make_pair(bottom, top);
        }
    } else if (m_dragButton == Qt::LeftButton) {
        if (const std::optional<THit> hit = SampleAt(to); hit && SampleClicked) {
            SampleClicked(hit->series, hit->index);
        }
    }
    m_dragButton = Qt::NoButton;
    update();
}

void TPlotView::wheelEvent(QWheelEvent* event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0) {
        return;
    }
    const double factor = std::pow(0.8, steps);
    const QPointF at = event->position();
    if ((event->modifiers() & Qt::ControlModifier) != 0) {
        // Values: zoom around the value under the pointer.
        const double v = ValueAtY(at.y());
        m_fixedRange = std::make_pair(v - (v - m_shownRange.first) * factor,
                                      v + (m_shownRange.second - v) * factor);
    } else {
        const double newSpan =
            std::max(static_cast<double>(m_span) * factor, static_cast<double>(kMinSpanMs));
        if (m_frozen) {
            // Time: zoom around the time under the pointer.
            const double t = static_cast<double>(TimeAtX(at.x()));
            const double end = t + (static_cast<double>(m_end) - t) * factor;
            m_end = static_cast<uint64_t>(std::max(end, newSpan));
        }
        m_span = static_cast<uint64_t>(newSpan);
    }
    event->accept();
    update();
}

void TPlotView::mouseDoubleClickEvent(QMouseEvent*) {
    Reset();
}

// --- the dock window ---

TPlotForm::TPlotForm(QWidget* parent)
    : QDockWidget(tr("Plot"), parent), m_text(m_samples.Names()), m_modbus(m_samples.Names()) {
    setObjectName(QStringLiteral("PlotForm"));
    auto* body = new QWidget(this);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);

    auto* bar = new QToolBar(body);
    bar->setObjectName(QStringLiteral("PlotBar"));
    m_sourceBox = new QComboBox(bar);
    m_sourceBox->setObjectName(QStringLiteral("PlotSource"));
    m_sourceBox->addItem(tr("Text readings"));
    m_sourceBox->addItem(tr("Modbus registers"));
    m_sourceBox->addItem(tr("Binary field"));
    m_sourceBox->setToolTip(tr("Where the values come from: label:value or plain numbers in "
                               "received lines, the registers of Modbus RTU frames, or a "
                               "binary field of each received frame"));
    bar->addWidget(m_sourceBox);
    m_pause = bar->addAction(tr("Pause"));
    m_pause->setObjectName(QStringLiteral("PlotPause"));
    m_pause->setCheckable(true);
    m_pause->setToolTip(tr("Freeze the plot; samples keep being taken"));
    m_autoscale = bar->addAction(tr("Autoscale"));
    m_autoscale->setObjectName(QStringLiteral("PlotAutoscale"));
    m_autoscale->setCheckable(true);
    m_autoscale->setChecked(true);
    m_autoscale->setToolTip(tr("Fit the value axis to what is shown (Ctrl+wheel or a dragged "
                               "rectangle fixes it); off: the range typed beside it"));
    const auto rangeEdit = [&](const char* name, const QString& hint) {
        auto* edit = new QLineEdit(bar);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setPlaceholderText(hint);
        edit->setMaximumWidth(72);
        edit->setToolTip(tr("A fixed value range: type the lowest and the highest value "
                            "shown; empty both for autoscale"));
        bar->addWidget(edit);
        connect(edit, &QLineEdit::editingFinished, this, [this] { ApplyTypedRange(); });
        return edit;
    };
    m_rangeMin = rangeEdit("PlotRangeMin", tr("min"));
    m_rangeMax = rangeEdit("PlotRangeMax", tr("max"));
    QAction* reset = bar->addAction(tr("Reset"));
    reset->setObjectName(QStringLiteral("PlotReset"));
    reset->setToolTip(tr("Follow the newest samples again, last 30 s, the typed range or "
                         "autoscale (also a double click on the plot)"));
    QAction* csv = bar->addAction(tr("CSV..."));
    csv->setObjectName(QStringLiteral("PlotExportCsv"));
    csv->setToolTip(tr("Save the samples of the shown series as CSV (time, one column per "
                       "series); Shift: everything kept, not only the shown time"));
    QAction* png = bar->addAction(tr("PNG..."));
    png->setObjectName(QStringLiteral("PlotExportPng"));
    png->setToolTip(tr("Save the plot as a PNG picture"));
    QAction* clear = bar->addAction(tr("Clear"));
    clear->setObjectName(QStringLiteral("PlotClear"));
    clear->setToolTip(tr("Forget every sample and series"));
    layout->addWidget(bar);

    // The binary field: where it sits in each received frame and how it is read.
    m_fieldBar = new QToolBar(body);
    m_fieldBar->setObjectName(QStringLiteral("PlotFieldBar"));
    m_fieldBar->addWidget(new QLabel(tr("Offset "), m_fieldBar));
    m_fieldOffset = new QSpinBox(m_fieldBar);
    m_fieldOffset->setObjectName(QStringLiteral("PlotFieldOffset"));
    m_fieldOffset->setRange(0, 65535);
    m_fieldOffset->setToolTip(tr("The field's first byte, counted from 0 at the frame's start"));
    m_fieldBar->addWidget(m_fieldOffset);
    m_fieldType = new QComboBox(m_fieldBar);
    m_fieldType->setObjectName(QStringLiteral("PlotFieldType"));
    for (const char* type : {"u8", "i8", "u16", "i16", "u32", "i32", "f32", "f64"}) {
        m_fieldType->addItem(QString::fromLatin1(type));
    }
    m_fieldType->setToolTip(tr("u: unsigned, i: signed integer, f: floating point; bits"));
    m_fieldBar->addWidget(m_fieldType);
    m_fieldOrder = new QComboBox(m_fieldBar);
    m_fieldOrder->setObjectName(QStringLiteral("PlotFieldOrder"));
    m_fieldOrder->addItem(tr("little-endian"));
    m_fieldOrder->addItem(tr("big-endian"));
    m_fieldOrder->setToolTip(tr("Byte order: little-endian has the lowest byte first"));
    m_fieldBar->addWidget(m_fieldOrder);
    m_fieldBar->addWidget(new QLabel(tr(" Scale "), m_fieldBar));
    m_fieldScale = new QLineEdit(m_fieldBar);
    m_fieldScale->setObjectName(QStringLiteral("PlotFieldScale"));
    m_fieldScale->setMaximumWidth(72);
    m_fieldScale->setToolTip(tr("The value plotted is the field times this, as in 0.1 for "
                                "tenths of a degree"));
    m_fieldBar->addWidget(m_fieldScale);
    m_fieldBar->addWidget(new QLabel(tr(" Match "), m_fieldBar));
    m_fieldMatch = new QLineEdit(m_fieldBar);
    m_fieldMatch->setObjectName(QStringLiteral("PlotFieldMatch"));
    m_fieldMatch->setMaximumWidth(110);
    m_fieldMatch->setPlaceholderText(tr("any frame"));
    m_fieldMatch->setToolTip(tr("Hex bytes a frame must begin with to carry the field, as in "
                                "AA 55; empty: every received frame"));
    m_fieldBar->addWidget(m_fieldMatch);
    layout->addWidget(m_fieldBar);
    m_fieldBar->hide();
    std::string error;
    m_field = *ParseBinaryField("0:u16", error);
    m_binary.emplace(m_samples.Names(), std::vector<TBinaryField>{m_field});
    ShowField(m_field);
    connect(m_fieldOffset, &QSpinBox::valueChanged, this, [this] { ApplyFieldControls(); });
    connect(m_fieldType, &QComboBox::currentIndexChanged, this, [this] { ApplyFieldControls(); });
    connect(m_fieldOrder, &QComboBox::currentIndexChanged, this, [this] { ApplyFieldControls(); });
    connect(m_fieldScale, &QLineEdit::editingFinished, this, [this] { ApplyFieldControls(); });
    connect(m_fieldMatch, &QLineEdit::editingFinished, this, [this] { ApplyFieldControls(); });

    auto* split = new QSplitter(Qt::Horizontal, body);
    m_view = new TPlotView(m_samples, split);
    m_seriesList = new QListWidget(split);
    m_seriesList->setObjectName(QStringLiteral("PlotSeries"));
    m_seriesList->setMaximumWidth(200);
    split->addWidget(m_view);
    split->addWidget(m_seriesList);
    split->setStretchFactor(0, 1);
    layout->addWidget(split, 1);
    m_status = new QLabel(body);
    m_status->setObjectName(QStringLiteral("PlotStatus"));
    layout->addWidget(m_status);
    setWidget(body);

    m_view->SampleClicked = [this](size_t series, size_t index) {
        if (LineChosen) {
            LineChosen(m_samples.Series(series).OriginAt(index));
        }
    };
    connect(m_sourceBox, &QComboBox::currentIndexChanged, this, [this](int index) {
        SetSource(index == 2   ? TPlotSource::Binary
                  : index == 1 ? TPlotSource::Modbus
                               : TPlotSource::Text);
        if (SourceChanged) {
            SourceChanged();
        }
    });
    connect(m_pause, &QAction::toggled, this, [this](bool on) { m_view->SetPaused(on); });
    connect(m_autoscale, &QAction::toggled, this, [this](bool on) {
        // Off: the range shown now stays, and is written in the range fields to edit.
        const std::optional<std::pair<double, double>> range =
            on ? std::nullopt : std::optional(m_view->ValueRange());
        SetRangeText(range ? QString::number(range->first, 'g', 6) + QLatin1Char(',') +
                                 QString::number(range->second, 'g', 6)
                           : QString());
    });
    connect(reset, &QAction::triggered, this, [this] {
        m_view->Reset();
        const QSignalBlocker block(m_autoscale);
        m_autoscale->setChecked(!m_typedRange);
    });
    connect(csv, &QAction::triggered, this, [this] {
        ExportCsv(QString(), (QApplication::keyboardModifiers() & Qt::ShiftModifier) != 0);
    });
    connect(png, &QAction::triggered, this, [this] { ExportPng(QString()); });
    connect(clear, &QAction::triggered, this, &TPlotForm::Clear);
    connect(m_seriesList, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        m_view->SetVisible(static_cast<size_t>(m_seriesList->row(item)),
                           item->checkState() == Qt::Checked);
    });

    // New samples are drawn at most 20 times a second, so a fast stream costs the window
    // little more than a slow one; without new samples the timer does not run.
    m_redraw = new QTimer(this);
    m_redraw->setInterval(50);
    m_redraw->setSingleShot(true);
    connect(m_redraw, &QTimer::timeout, this, &TPlotForm::Redraw);
    RefreshSeriesList();
}

TPlotForm::~TPlotForm() = default;

void TPlotForm::AddRecord(bool received, uint64_t timeMs, uint64_t line, const uint8_t* bytes,
                          size_t n) {
    m_batch.clear();
    if (m_source == TPlotSource::Text) {
        if (received) {
            m_text.Feed(timeMs, line, bytes, n, m_batch);
        }
    } else if (m_source == TPlotSource::Binary) {
        if (received) {
            m_binary->Feed(timeMs, line, bytes, n, m_batch);
        }
    } else {
        m_frames.clear();
        m_decoder.Feed(received ? TModbusDirection::Received : TModbusDirection::Sent, timeMs,
                       bytes, n, m_frames);
        for (const TModbusFrame& frame : m_frames) {
            m_modbus.Feed(frame, line, m_batch);
        }
    }
    if (!m_batch.empty()) {
        m_samples.Add(m_batch);
        m_dirty = true;
        if (!m_redraw->isActive()) {
            m_redraw->start();
        }
    }
}

void TPlotForm::SetSource(TPlotSource source) {
    if (source == m_source) {
        return;
    }
    m_source = source;
    m_view->EmptyText =
        source == TPlotSource::Modbus
            ? tr("No values yet. The registers of Modbus RTU read replies and writes are "
                 "plotted, a series per slave and register (1:40001).")
        : source == TPlotSource::Binary
            ? tr("No values yet. The field set below is read from each received frame "
                 "(a burst of bytes).")
            : tr("No values yet. Received lines such as \"temp:21.5 hum:40\" or \"1.5,2.5\" "
                 "are plotted.");
    m_view->update();
    m_text.Reset();
    m_decoder.Reset();
    m_fieldBar->setVisible(source == TPlotSource::Binary);
    const QSignalBlocker block(m_sourceBox);
    m_sourceBox->setCurrentIndex(static_cast<int>(source));
}

bool TPlotForm::SetFieldText(const QString& text) {
    std::string error;
    const std::optional<TBinaryField> field = ParseBinaryField(text.toStdString(), error);
    if (!field) {
        return false;
    }
    m_field = *field;
    m_binary.emplace(m_samples.Names(), std::vector<TBinaryField>{m_field});
    ShowField(m_field);
    return true;
}

QString TPlotForm::FieldText() const {
    return QString::fromStdString(BinaryFieldText(m_field));
}

void TPlotForm::ShowField(const TBinaryField& field) {
    const QSignalBlocker b1(m_fieldOffset);
    const QSignalBlocker b2(m_fieldType);
    const QSignalBlocker b3(m_fieldOrder);
    m_fieldOffset->setValue(static_cast<int>(field.offset));
    m_fieldType->setCurrentText(QString::fromLatin1(
        TBinaryValueSource::TypeName(field.type).data(),
        static_cast<qsizetype>(TBinaryValueSource::TypeName(field.type).size())));
    m_fieldOrder->setCurrentIndex(field.bigEndian ? 1 : 0);
    m_fieldScale->setText(field.scale == 1 ? QString()
                                           : QString::fromStdString(SampleValueText(field.scale)));
    m_fieldMatch->setText(QString::fromStdString(
        BytesToHex(std::string(field.match.begin(), field.match.end()), " ")));
}

void TPlotForm::ApplyFieldControls() {
    // The controls in the field's text form, so they are read as korvane-cli reads it.
    QString text = QString::number(m_fieldOffset->value()) + QLatin1Char(':') +
                   m_fieldType->currentText() +
                   (m_fieldOrder->currentIndex() == 1 ? QStringLiteral(":be") : QString());
    if (!m_fieldScale->text().trimmed().isEmpty()) {
        text += QStringLiteral(":scale=") + m_fieldScale->text().trimmed();
    }
    if (!m_fieldMatch->text().trimmed().isEmpty()) {
        text += QStringLiteral(":match=") + m_fieldMatch->text().trimmed();
    }
    std::string error;
    const std::optional<TBinaryField> field = ParseBinaryField(text.toStdString(), error);
    if (!field) {
        ShowNote(tr("Field not changed: %1").arg(QString::fromStdString(error)));
        return;
    }
    ShowNote(QString());
    if (BinaryFieldText(*field) == BinaryFieldText(m_field)) {
        return;
    }
    m_field = *field;
    m_binary.emplace(m_samples.Names(), std::vector<TBinaryField>{m_field});
    if (SourceChanged) {
        SourceChanged();
    }
}

bool TPlotForm::SetRangeText(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (text.trimmed().isEmpty()) {
        m_rangeMin->clear();
        m_rangeMax->clear();
    } else if (parts.size() == 2) {
        m_rangeMin->setText(parts[0].trimmed());
        m_rangeMax->setText(parts[1].trimmed());
    } else {
        return false;
    }
    return ApplyTypedRange();
}

QString TPlotForm::RangeText() const {
    if (!m_typedRange) {
        return QString();
    }
    return QString::number(m_typedRange->first, 'g', 15) + QLatin1Char(',') +
           QString::number(m_typedRange->second, 'g', 15);
}

bool TPlotForm::ApplyTypedRange() {
    const QString lowText = m_rangeMin->text().trimmed();
    const QString highText = m_rangeMax->text().trimmed();
    std::optional<std::pair<double, double>> range;
    if (!lowText.isEmpty() || !highText.isEmpty()) {
        bool lowOk = false;
        bool highOk = false;
        const double low = lowText.toDouble(&lowOk);
        const double high = highText.toDouble(&highOk);
        if (!lowOk || !highOk || !std::isfinite(low) || !std::isfinite(high) || !(low < high)) {
            // Half typed is not yet a range: only a finished pair is judged.
            if (!lowText.isEmpty() && !highText.isEmpty()) {
                ShowNote(tr("Range not changed: type two numbers, the lowest first"));
            }
            return false;
        }
        range = std::make_pair(low, high);
    }
    ShowNote(QString());
    const bool changed = range != m_typedRange;
    m_typedRange = range;
    m_view->SetHomeRange(range);
    {
        const QSignalBlocker block(m_autoscale);
        m_autoscale->setChecked(!range);
    }
    if (changed && RangeChanged) {
        RangeChanged();
    }
    return true;
}

void TPlotForm::ShowNote(const QString& text) {
    m_note = text;
    RefreshSeriesList();
}

void TPlotForm::SetValueFormat(TModbusValueFormat format) {
    m_modbus.SetFormat(format);
}

void TPlotForm::Clear() {
    m_samples.Clear();
    m_text.Reset();
    m_decoder.Reset();
    m_binary.emplace(m_samples.Names(), std::vector<TBinaryField>{m_field});
    m_seriesList->clear();
    m_dirty = true;
    Redraw();
}

std::vector<std::string> TPlotForm::TakeMessages() {
    return m_samples.Names().TakeMessages();
}

void TPlotForm::RefreshSeriesList() {
    const std::vector<std::string>& names = m_samples.Names().Names();
    for (size_t i = static_cast<size_t>(m_seriesList->count()); i < names.size(); ++i) {
        auto* item = new QListWidgetItem(QString::fromStdString(names[i]));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(m_view->IsVisible(i) ? Qt::Checked : Qt::Unchecked);
        QPixmap swatch(12, 12);
        swatch.fill(TPlotView::SeriesColor(i));
        item->setIcon(QIcon(swatch));
        m_seriesList->addItem(item);
    }
    size_t samples = 0;
    uint64_t dropped = 0;
    for (size_t i = 0; i < m_samples.Count(); ++i) {
        samples += m_samples.Series(i).Size();
        dropped += m_samples.Series(i).Dropped();
    }
    QString status = tr("%n series", nullptr, static_cast<int>(names.size())) +
                     QStringLiteral(", ") + tr("%1 samples").arg(samples);
    if (dropped > 0) {
        status += QStringLiteral(", ") + tr("%1 oldest dropped").arg(dropped);
    }
    for (const std::string& message : TakeMessages()) {
        m_status->setToolTip(QString::fromStdString(message));
        status += QStringLiteral("; ") + QString::fromStdString(message);
    }
    if (!m_note.isEmpty()) {
        status += QStringLiteral("; ") + m_note;
    }
    m_status->setText(status);
}

void TPlotForm::Redraw() {
    if (!m_dirty) {
        return;
    }
    m_dirty = false;
    RefreshSeriesList();
    if (isVisible()) {
        m_view->update();
    }
}

bool TPlotForm::ExportCsv(const QString& given, bool everything) {
    QString path = given;
    if (path.isEmpty()) {
        path = QFileDialog::getSaveFileName(this, tr("Save Samples"), QString(),
                                            tr("CSV files (*.csv);;All files (*)"));
        if (path.isEmpty()) {
            return false;
        }
    }
    std::vector<bool> chosen(m_samples.Count());
    for (size_t i = 0; i < chosen.size(); ++i) {
        chosen[i] = m_view->IsVisible(i);
    }
    const auto [t0, t1] =
        everything ? std::make_pair(uint64_t{0}, UINT64_MAX) : m_view->TimeWindow();
    const std::string csv = SamplesCsv(m_samples, chosen, t0, t1, true);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) !=
            static_cast<qint64>(csv.size()) ||
        !file.commit()) {
        Fail(tr("Save Samples"), tr("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool TPlotForm::ExportPng(const QString& given) {
    QString path = given;
    if (path.isEmpty()) {
        path = QFileDialog::getSaveFileName(this, tr("Save Plot"), QString(),
                                            tr("PNG pictures (*.png)"));
        if (path.isEmpty()) {
            return false;
        }
    }
    if (!m_view->grab().save(path, "PNG")) {
        Fail(tr("Save Plot"), tr("Cannot write %1").arg(path));
        return false;
    }
    return true;
}

void TPlotForm::Fail(const QString& title, const QString& text) {
    if (ReportFailure) {
        ReportFailure(title, text);
    } else {
        QMessageBox::warning(this, title, text);
    }
}
