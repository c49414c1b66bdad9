#pragma once
// The main window's status bar: four text panels of fixed width, a fifth one covered by
// the lamp panel of the five modem lines, and a double click that the window uses to
// reset the byte counters.

#include <QFrame>
#include <QLabel>
#include <QStatusBar>
#include <array>

class QTimer;

class TStatusBarMY : public QStatusBar {
    Q_OBJECT
public:
    static constexpr int PanelCount = 5;
    // The panel that shows the caret's line and column.
    static constexpr int CaretPanel = 3;
    enum Lamp { LampDTR, LampRTS, LampDSR, LampCTS, LampRLSD, LampCount };

    explicit TStatusBarMY(QWidget* parent = nullptr);

    void SetPanelText(int panel, const QString& text);
    QString PanelText(int panel) const;
    // Shows `text` in a panel for `ms` milliseconds, then the panel's own text again. A
    // new message replaces the one shown and starts the time anew.
    void FlashPanelText(int panel, const QString& text, int ms);
    QLabel* Panel(int panel) const { return m_panels[static_cast<size_t>(panel)]; }

    // A lit lamp is an enabled label, a dark one a disabled (greyed) label.
    void SetLamp(Lamp lamp, bool lit);
    bool LampLit(Lamp lamp) const;
    QLabel* LampLabel(Lamp lamp) const { return m_lamps[static_cast<size_t>(lamp)]; }
    QFrame* LampPanel() const { return m_lampPanel; }
    // A widget of this bar that stands just left of the lamps while it is shown (the
    // tapped port's lamps); the text panels make room for it as they do for the lamps.
    void SetLampNeighbour(QWidget* neighbour);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The neighbour of the lamps shown or hidden.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Places the panels after their texts and the lamps after the width.
    void Relayout();

    std::array<QLabel*, PanelCount> m_panels{};
    std::array<QLabel*, LampCount> m_lamps{};
    QFrame* m_lampPanel = nullptr;
    QWidget* m_lampNeighbour = nullptr;
    QFrame* m_panel4 = nullptr;
    QTimer* m_flashTimer = nullptr;
    int m_flashPanel = -1;
    QString m_flashSaved;
};
