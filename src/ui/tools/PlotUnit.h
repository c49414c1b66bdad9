#pragma once
// The plot: values taken from the traffic (text readings, Modbus registers, binary fields of
// received frames) drawn against
// time in a dock window. Drawing decimates each series to min/max per pixel column, so a
// repaint costs what the width costs, however many samples are kept. A click on a sample
// leads back to the traffic line it came from.

#include "protocol/ModbusRtu.h"
#include "protocol/Values.h"

#include <QDockWidget>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QListWidget;
class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTimer;
class QToolBar;

// Where the values come from.
enum class TPlotSource { Text, Modbus, Binary };

class TPlotView : public QWidget {
    Q_OBJECT
public:
    explicit TPlotView(const TSampleSet& samples, QWidget* parent = nullptr);

    // Series shown, by index; a series not listed is shown.
    void SetVisible(size_t series, bool visible);
    bool IsVisible(size_t series) const;
    static QColor SeriesColor(size_t series);

    // The time window follows the newest sample unless paused, zoomed or panned.
    void SetPaused(bool paused);
    bool Paused() const { return m_paused; }
    void SetSpanMs(uint64_t span);
    // Autoscale (the default) or a fixed value range; zooming and panning change it.
    void SetFixedRange(std::optional<std::pair<double, double>> range);
    // The range Reset goes back to (none: autoscale); set, it is the fixed range too.
    void SetHomeRange(std::optional<std::pair<double, double>> range);
    void Reset();
    // The time window drawn: [first, second).
    std::pair<uint64_t, uint64_t> TimeWindow() const;
    std::pair<double, double> ValueRange() const { return m_shownRange; }
    QRect PlotRect() const;
    // The pixel of a sample in the last drawing.
    QPointF PixelOf(uint64_t timeMs, double value) const;

    // What an empty plot says.
    QString EmptyText = tr("No values yet. Received lines such as \"temp:21.5 hum:40\" or "
                           "\"1.5,2.5\" are plotted, or the registers of Modbus RTU frames.");

    // A click on a sample: its series and index in the series.
    std::function<void(size_t series, size_t index)> SampleClicked;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    struct THit {
        size_t series;
        size_t index;
    };
    std::optional<THit> SampleAt(QPointF point) const;
    uint64_t TimeAtX(double x) const;
    double ValueAtY(double y) const;
    void Freeze();

    const TSampleSet& m_samples;
    std::vector<bool> m_hidden;
    bool m_paused = false;
    // Not following the newest: the window was paused, zoomed or panned.
    bool m_frozen = false;
    uint64_t m_span = 30000;
    uint64_t m_end = 0; // the window's end while frozen
    std::optional<std::pair<double, double>> m_fixedRange;
    std::optional<std::pair<double, double>> m_homeRange;
    // What the last drawing used, for hit tests and the mouse.
    std::pair<uint64_t, uint64_t> m_shownWindow{0, 1};
    std::pair<double, double> m_shownRange{0, 1};
    // Mouse drags: a rectangle zooms, the right button pans.
    std::optional<QPoint> m_pressAt;
    QPoint m_dragTo;
    Qt::MouseButton m_dragButton = Qt::NoButton;
};

// The dock window: the plot, its series list and its tool buttons. It owns the samples
// and the value sources and is fed with every record the traffic view shows.
class TPlotForm : public QDockWidget {
    Q_OBJECT
public:
    explicit TPlotForm(QWidget* parent = nullptr);
    ~TPlotForm() override;

    // A record as the traffic view shows it: sent or received bytes, the time in
    // milliseconds since the epoch, and the traffic line it starts on (a number that stays
    // with the line while older lines are cut).
    void AddRecord(bool received, uint64_t timeMs, uint64_t line, const uint8_t* bytes, size_t n);
    void SetSource(TPlotSource source);
    TPlotSource Source() const { return m_source; }
    void SetValueFormat(TModbusValueFormat format);
    // The binary field plotted with TPlotSource::Binary, in ParseBinaryField's form (kept
    // by the window in config.ini). False, the field unchanged, when the text is not one.
    bool SetFieldText(const QString& text);
    QString FieldText() const;
    // The value range typed in the tool bar, "low,high"; empty: autoscale. Kept in
    // config.ini by the window. False, the range unchanged, when the text is not one.
    bool SetRangeText(const QString& text);
    QString RangeText() const;
    void Clear();
    // The messages of refused series since the last call.
    std::vector<std::string> TakeMessages();

    const TSampleSet& Samples() const { return m_samples; }
    TPlotView* View() const { return m_view; }
    size_t MemoryBytes() const { return m_samples.MemoryBytes(); }

    // A sample was clicked; its traffic line number is passed on.
    std::function<void(uint64_t line)> LineChosen;
    // The source choice or the binary field changed (kept by the window in config.ini).
    std::function<void()> SourceChanged;
    // The typed value range changed, or autoscale was chosen (kept in config.ini).
    std::function<void()> RangeChanged;

    // A failed export's message; a warning box when not set.
    std::function<void(const QString& title, const QString& text)> ReportFailure;

    // Export of the visible window or of everything kept; the file name is asked for when
    // path is empty. Failures are reported through ReportFailure.
    bool ExportCsv(const QString& path, bool everything);
    bool ExportPng(const QString& path);

private:
    void RefreshSeriesList();
    void Redraw();
    void Fail(const QString& title, const QString& text);
    // The range fields were edited: a range of two numbers, low first, or both empty.
    // False (nothing changed) for anything else.
    bool ApplyTypedRange();
    // The field controls were edited: their field, or the reason it is none.
    void ApplyFieldControls();
    void ShowField(const TBinaryField& field);
    void ShowNote(const QString& text);

    TSampleSet m_samples;
    TTextValueSource m_text;
    TModbusRtuDecoder m_decoder;
    TModbusValueSource m_modbus;
    TBinaryField m_field;
    std::optional<TBinaryValueSource> m_binary;
    std::optional<std::pair<double, double>> m_typedRange;
    TPlotSource m_source = TPlotSource::Text;
    std::vector<TValueSample> m_batch;
    std::vector<TModbusFrame> m_frames;

    TPlotView* m_view = nullptr;
    QListWidget* m_seriesList = nullptr;
    QComboBox* m_sourceBox = nullptr;
    QAction* m_pause = nullptr;
    QAction* m_autoscale = nullptr;
    QLineEdit* m_rangeMin = nullptr;
    QLineEdit* m_rangeMax = nullptr;
    // The binary field's controls, shown with that source.
    QToolBar* m_fieldBar = nullptr;
    QSpinBox* m_fieldOffset = nullptr;
    QComboBox* m_fieldType = nullptr;
    QComboBox* m_fieldOrder = nullptr;
    QLineEdit* m_fieldScale = nullptr;
    QLineEdit* m_fieldMatch = nullptr;
    QLabel* m_status = nullptr;
    // A refused range or field, shown with the counts until the next edit.
    QString m_note;
    QTimer* m_redraw = nullptr;
    bool m_dirty = false;
};
