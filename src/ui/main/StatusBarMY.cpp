#include "ui/main/StatusBarMY.h"

#include <QEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int kPanelWidths[TStatusBarMY::PanelCount] = {110, 100, 100, 200, 100};
const char* const kPanelTexts[TStatusBarMY::PanelCount] = {"F1 for help", "TX: 65536 ", "RX: 65536",
                                                           "Hex: Ln:     Col:     Sel:       ", ""};
constexpr int kLampX[TStatusBarMY::LampCount] = {7, 32, 63, 89, 114};
const char* const kLampNames[TStatusBarMY::LampCount] = {"DTR", "RTS", "DSR", "CTS", "RLSD"};
constexpr int kLampPanelLeft = 594;
constexpr int kLampPanelWidth = 145;
// Room kept between the lamp panel and the window's right edge.
constexpr int kLampRightGap = 23;
} // namespace

TStatusBarMY::TStatusBarMY(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("StatusBarMY1"));
    setFixedHeight(23);
    setSizeGripEnabled(false);
    int x = 0;
    for (int i = 0; i < PanelCount; ++i) {
        auto* label = new QLabel(QString::fromUtf8(kPanelTexts[i]), this);
        label->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        label->setGeometry(x, 2, kPanelWidths[i] - 2, 19);
        if (i < PanelCount - 1) {
            label->setFrameShape(QFrame::Panel);
            label->setFrameShadow(QFrame::Sunken);
        }
        label->setIndent(2);
        m_panels[static_cast<size_t>(i)] = label;
        x += kPanelWidths[i];
    }

    m_lampPanel = new QFrame(this);
    m_lampPanel->setObjectName(QStringLiteral("Panel3"));
    m_lampPanel->setGeometry(kLampPanelLeft, 2, kLampPanelWidth, 20);
    for (int i = 0; i < LampCount; ++i) {
        auto* lamp = new QLabel(QString::fromLatin1(kLampNames[i]), m_lampPanel);
        lamp->setObjectName(QStringLiteral("Lamp%1").arg(QString::fromLatin1(kLampNames[i])));
        lamp->move(kLampX[i], 3);
        lamp->setFixedHeight(12);
        lamp->adjustSize();
        lamp->setEnabled(false);
        m_lamps[static_cast<size_t>(i)] = lamp;
    }
    // A lit lamp reads green, a dark one takes the disabled grey of the style.
    m_lampPanel->setStyleSheet(
        QStringLiteral("QLabel:enabled { color: #008000; } QLabel:disabled { color: gray; }"));
    QFont lampFont = m_lampPanel->font();
    lampFont.setPixelSize(10);
    m_lampPanel->setFont(lampFont);
    for (QLabel* lamp : m_lamps) {
        lamp->adjustSize();
    }
    m_panel4 = new QFrame(m_lampPanel);
    m_panel4->setObjectName(QStringLiteral("Panel4"));
    m_panel4->setFrameShape(QFrame::VLine);
    m_panel4->setFrameShadow(QFrame::Sunken);
    m_panel4->setGeometry(55, 1, 2, 18);

    m_flashTimer = new QTimer(this);
    m_flashTimer->setSingleShot(true);
    connect(m_flashTimer, &QTimer::timeout, this, [this] {
        SetPanelText(m_flashPanel, m_flashSaved);
        m_flashPanel = -1;
    });
}

void TStatusBarMY::FlashPanelText(int panel, const QString& text, int ms) {
    if (panel < 0 || panel >= PanelCount) {
        return;
    }
    if (m_flashPanel != panel) {
        if (m_flashPanel >= 0) {
            SetPanelText(m_flashPanel, m_flashSaved);
        }
        m_flashPanel = panel;
        m_flashSaved = PanelText(panel);
    }
    SetPanelText(panel, text);
    m_flashTimer->start(ms);
}

void TStatusBarMY::SetPanelText(int panel, const QString& text) {
    if (panel < 0 || panel >= PanelCount) {
        return;
    }
    m_panels[static_cast<size_t>(panel)]->setText(text);
    Relayout();
}

QString TStatusBarMY::PanelText(int panel) const {
    if (panel < 0 || panel >= PanelCount) {
        return QString();
    }
    return m_panels[static_cast<size_t>(panel)]->text();
}

void TStatusBarMY::SetLamp(Lamp lamp, bool lit) {
    m_lamps[static_cast<size_t>(lamp)]->setEnabled(lit);
}

bool TStatusBarMY::LampLit(Lamp lamp) const {
    return m_lamps[static_cast<size_t>(lamp)]->isEnabled();
}

void TStatusBarMY::mouseDoubleClickEvent(QMouseEvent* event) {
    emit doubleClicked();
    QStatusBar::mouseDoubleClickEvent(event);
}

void TStatusBarMY::SetLampNeighbour(QWidget* neighbour) {
    if (m_lampNeighbour != nullptr) {
        m_lampNeighbour->removeEventFilter(this);
    }
    m_lampNeighbour = neighbour;
    if (neighbour != nullptr) {
        neighbour->setParent(this);
        neighbour->installEventFilter(this);
    }
    Relayout();
}

bool TStatusBarMY::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_lampNeighbour &&
        (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        Relayout();
    }
    return QStatusBar::eventFilter(watched, event);
}

void TStatusBarMY::resizeEvent(QResizeEvent* event) {
    QStatusBar::resizeEvent(event);
    Relayout();
}

void TStatusBarMY::Relayout() {
    // The lamps keep their distance from the right edge at any width, so a narrow window
    // never cuts them off.
    const int mainWidth = window() != nullptr ? window()->width() : width();
    const int lampLeft =
        std::max(0, std::min(mainWidth, width()) - m_lampPanel->width() - kLampRightGap);
    if (m_lampPanel->x() != lampLeft) {
        m_lampPanel->move(lampLeft, m_lampPanel->y());
    }
    m_lampPanel->raise();
    // The lamps' neighbour stands just left of them; the texts end where it begins.
    int textRight = lampLeft;
    if (m_lampNeighbour != nullptr && !m_lampNeighbour->isHidden()) {
        m_lampNeighbour->adjustSize();
        textRight = std::max(0, lampLeft - m_lampNeighbour->width() - 4);
        const QRect place(textRight, 2, m_lampNeighbour->width(), 20);
        if (m_lampNeighbour->geometry() != place) {
            m_lampNeighbour->setGeometry(place);
        }
        m_lampNeighbour->raise();
    }
    // A text panel keeps its designed width unless its text needs more ("ttyUSB0
    // disconnected 14:03:27"); then it grows and the panels after it move along. The last
    // panel, when it says something (a save's progress, a capture), stands just left of
    // the lamps. The caret panel gives up the room both need, so the lamps never cover
    // what the panels show.
    const auto needed = [](const QLabel* label) {
        return label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->frameWidth() +
               label->indent() + 4;
    };
    QLabel* last = m_panels[PanelCount - 1];
    const int lastWidth = last->text().isEmpty() ? 0 : needed(last);
    const int lastLeft = std::max(0, textRight - lastWidth);
    int x = 0;
    for (int i = 0; i < PanelCount - 1; ++i) {
        QLabel* label = m_panels[static_cast<size_t>(i)];
        int width = std::max(kPanelWidths[i] - 2, needed(label));
        if (i == CaretPanel) {
            width = std::clamp(lastLeft - x - 2, 0, kPanelWidths[i] - 2);
        }
        if (label->x() != x || label->width() != width) {
            label->setGeometry(x, label->y(), width, label->height());
        }
        x += width + 2;
    }
    // A text longer than the room left of the lamps is cut at the lamps (or their
    // neighbour), not drawn under them.
    const int lastX = lastWidth > 0 ? std::max(x, lastLeft) : x;
    const QRect lastPlace(lastX, last->y(),
                          lastWidth > 0 ? std::clamp(textRight - lastX, 0, lastWidth)
                                        : kPanelWidths[PanelCount - 1] - 2,
                          last->height());
    if (last->geometry() != lastPlace) {
        last->setGeometry(lastPlace);
    }
}
