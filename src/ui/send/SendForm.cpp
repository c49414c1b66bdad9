#include "ui/send/SendForm.h"

#include "richtext/RichText.h"
#include "ui/main/Icons.h"
#include "ui/main/RichView.h"
#include "ui/main/ToolBarItems.h"
#include "ui/main/UiPrompter.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

struct ChecksumItem {
    const char* name;
    const char* caption;
    const char* hint;
    std::optional<ChecksumAlgorithm> algorithm;
};

// Index = the stored choice; 4 is the separator of the menu.
const ChecksumItem kChecksumItems[TSendForm::ChecksumItems] = {
    {"SUM1", "SUM", "SUM", ChecksumAlgorithm::Sum8},
    {"SUM_LH1", "SUM - LH", "SUM-LH", ChecksumAlgorithm::Sum16LowFirst},
    {"SUMHL1", "SUM - HL", "SUM-HL", ChecksumAlgorithm::Sum16HighFirst},
    {"XOR1", "XOR", "XOR", ChecksumAlgorithm::Xor8},
    {"N2", "", "", std::nullopt},
    {"ModbusCRC161", "Modbus -CRC16", "Modbus-CRC16", ChecksumAlgorithm::Crc16Modbus},
    {"ModbusLRC161", "Modbus -LRC16", "Modbus-LRC16", ChecksumAlgorithm::Lrc8},
    {"ANSICRC161", "ANSI  - CRC16", "ANSI-CRC16", ChecksumAlgorithm::Crc16Modbus},
    {"CCITTCRC161", "CCITT - CRC16", "CCITT-CRC16", ChecksumAlgorithm::Crc16Ccitt},
    {"CCITTCRC81", "CCITT - CRC8", "CCITT-CRC8", ChecksumAlgorithm::Crc8Ccitt},
};

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

std::optional<ChecksumAlgorithm> ChecksumAlgorithmOfKind(int32_t kind) {
    if (kind < 0 || kind >= TSendForm::ChecksumItems) {
        return std::nullopt;
    }
    return kChecksumItems[kind].algorithm;
}

QString ChecksumHintName(int32_t kind) {
    if (kind < 0 || kind >= TSendForm::ChecksumItems) {
        return QString();
    }
    return QString::fromLatin1(kChecksumItems[kind].hint);
}

TSendForm::TSendForm(SettingsRecord& settings, TUiPrompter& prompter, QWidget* parent)
    : QDockWidget(QStringLiteral("Send"), parent), m_settings(settings), m_prompter(prompter) {
    setObjectName(QStringLiteral("SendForm"));
    setAllowedAreas(Qt::AllDockWidgetAreas);
    setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                QDockWidget::DockWidgetFloatable);

    auto* body = new QWidget(this);
    body->setObjectName(QStringLiteral("SendFormClient"));
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    RichSend = new RichView(body);
    RichSend->setObjectName(QStringLiteral("RichSend"));
    layout->addWidget(RichSend, 1);

    SendBar = new QToolBar(body);
    SendBar->setObjectName(QStringLiteral("SendBar"));
    SendBar->setFixedHeight(26);
    SendBar->setIconSize(QSize(16, 16));
    layout->addWidget(SendBar);
    body->resize(455, 337);
    setWidget(body);

    AddToolSeparator(SendBar, "ToolButton4", true);
    ToolButton1 = AddToolButton(SendBar, {"ToolButton1", KorvaneIcon(TIconKind::Send), QString(),
                                          QStringLiteral("Send cursor line(F5)")});
    AddToolSeparator(SendBar, "ToolButton5", false);
    ToolButton2 = AddToolButton(SendBar, {"ToolButton2", KorvaneIcon(TIconKind::Cycle), QString(),
                                          QStringLiteral("Cycle To Send"), true, false});
    ToolButton3 = AddToolButton(SendBar, {"ToolButton3", KorvaneIcon(TIconKind::Trigger), QString(),
                                          QStringLiteral("Trigger Send"), true, false});
    AddToolSeparator(SendBar, "ToolButton6", false);
    ToolButton7 = AddToolButton(SendBar, {"ToolButton7", KorvaneIcon(TIconKind::Checksum),
                                          QStringLiteral("Checksum"), QStringLiteral("Check SUM"),
                                          false, false});
    AddToolSeparator(SendBar, "ToolButton9", true);
    ToolButton8 = AddToolButton(SendBar, {"ToolButton8", KorvaneIcon(TIconKind::Ascii), QString(),
                                          QStringLiteral("ASCII Send"), true});

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    auto* group = new QActionGroup(PopupMenu1);
    group->setExclusive(true);
    for (int i = 0; i < ChecksumItems; ++i) {
        QAction* a = nullptr;
        if (i == 4) {
            a = PopupMenu1->addSeparator();
        } else {
            a = PopupMenu1->addAction(QString::fromLatin1(kChecksumItems[i].caption));
            a->setCheckable(true);
            a->setActionGroup(group);
            connect(a, &QAction::triggered, this, [this, i] { ChooseChecksum(i); });
        }
        a->setObjectName(QString::fromLatin1(kChecksumItems[i].name));
        ChecksumActions[static_cast<size_t>(i)] = a;
    }
    ChecksumActions[0]->setChecked(true);
    ToolButton7->setMenu(PopupMenu1);
    if (auto* b = qobject_cast<QToolButton*>(SendBar->widgetForAction(ToolButton7))) {
        b->setPopupMode(QToolButton::MenuButtonPopup);
    }
    connect(PopupMenu1, &QMenu::aboutToShow, this, [this] {
        const int32_t kind = m_settings.checksumKind;
        if (kind >= 0 && kind < ChecksumItems && kind != 4) {
            ChecksumActions[static_cast<size_t>(kind)]->setChecked(true);
        }
    });

    connect(ToolButton1, &QAction::triggered, this, [this] {
        if (SendCursorLine) {
            SendCursorLine();
        }
    });
    connect(ToolButton2, &QAction::triggered, this, [this] {
        ToolButton2->setChecked(m_settings.cycleSendEnabled);
        if (OpenCyclePage) {
            OpenCyclePage();
        }
    });
    connect(ToolButton3, &QAction::triggered, this, [this] {
        ToolButton3->setChecked(m_settings.timingTriggerEnabled ||
                                m_settings.receiveTriggerEnabled);
        if (OpenTriggerPage) {
            OpenTriggerPage();
        }
    });
    connect(ToolButton7, &QAction::triggered, this, [this] { ChecksumCommand(); });
    connect(ToolButton8, &QAction::triggered, this, [this] {
        m_settings.asciiSend = !m_settings.asciiSend;
        if (RefreshSettings) {
            RefreshSettings();
        }
    });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now != nullptr && isAncestorOf(now) && Activated) {
            Activated();
        }
    });
}

void TSendForm::UpdateChecksumHint() {
    const QString name = ChecksumHintName(m_settings.checksumKind);
    if (!name.isEmpty()) {
        ToolButton7->setToolTip(QStringLiteral("Check ") + name);
    }
}

void TSendForm::ChooseChecksum(int kind) {
    m_settings.checksumKind = kind;
    const QString name = ChecksumHintName(kind);
    ToolButton7->setToolTip(QStringLiteral("Check ") + name);
    ChecksumCommand();
}

void TSendForm::ChecksumCommand() {
    const bool hasSelection = RichSend->SelectionLength() > 0;
    const std::string raw =
        hasSelection ? RichSend->SelectedText() : RichSend->LineText(RichSend->CaretLine());
    const std::string hex = TrimText(raw);
    if (!IsHexText(hex)) {
        m_prompter.Warning(this, QStringLiteral("The data is not hexadecimal format."),
                           QStringLiteral("Check"));
        return;
    }
    const std::optional<ChecksumAlgorithm> algorithm =
        ChecksumAlgorithmOfKind(m_settings.checksumKind);
    const std::string checksum = algorithm ? ChecksumText(hex, *algorithm) : std::string();
    if (!hasSelection) {
        // Exactly the trimmed data: blanks around it stay outside the replaced span.
        const int line = RichSend->CaretLine();
        const std::string text = RichSend->LineText(line);
        size_t first = 0;
        while (first < text.size() && IsBlank(text[first])) {
            ++first;
        }
        size_t last = text.size();
        while (last > first && IsBlank(text[last - 1])) {
            --last;
        }
        const int64_t lineStart = RichSend->PositionFromLine(line);
        RichSend->SetSelection(lineStart + static_cast<int64_t>(first),
                               static_cast<int64_t>(last - first));
    }
    RichSend->InsertStyledText(ReadRtf(ChecksumFragmentRtf(hex, checksum)));
    // What is typed next continues in the editor's own colour, not the checksum's.
    RichSend->SetSelectionColor(RichSend->DefaultStyle().color);
}

void TSendForm::closeEvent(QCloseEvent* event) {
    QDockWidget::closeEvent(event);
    m_settings.sendWindowVisible = false;
    if (RefreshSettings) {
        RefreshSettings();
    }
}

void TSendForm::showEvent(QShowEvent* event) {
    QDockWidget::showEvent(event);
    UpdateChecksumHint();
}
