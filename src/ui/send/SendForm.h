#pragma once
// The send window: the editor whose lines are the messages, and its tool bar (send the
// caret line, the two automatic-sending pages, the checksum command with its menu, ASCII
// sending). A dock widget of the main window, created once and only shown and hidden.

#include "settings/SettingsRecord.h"
#include "codec/HexCodec.h"

#include <QDockWidget>
#include <array>
#include <functional>
#include <optional>

class QAction;
class QMenu;
class QToolBar;
class QToolButton;
class RichView;
class TUiPrompter;

// What an item of the checksum menu computes; nothing for the separator or an unknown kind.
std::optional<ChecksumAlgorithm> ChecksumAlgorithmOfKind(int32_t kind);
// The name the hint of the checksum button shows; empty for the separator or unknown kind.
QString ChecksumHintName(int32_t kind);

class TSendForm : public QDockWidget {
    Q_OBJECT
public:
    static constexpr int ChecksumItems = 10;

    TSendForm(SettingsRecord& settings, TUiPrompter& prompter, QWidget* parent = nullptr);

    RichView* RichSend = nullptr;
    QToolBar* SendBar = nullptr;
    QAction* ToolButton1 = nullptr; // "Send cursor line(F5)"
    QAction* ToolButton2 = nullptr; // "Cycle To Send"
    QAction* ToolButton3 = nullptr; // "Trigger Send"
    QAction* ToolButton7 = nullptr; // checksum, with the checksum menu
    QAction* ToolButton8 = nullptr; // "ASCII Send"
    QMenu* PopupMenu1 = nullptr;    // the checksum menu
    std::array<QAction*, ChecksumItems> ChecksumActions{};

    // Wired by the main window.
    std::function<void()> RefreshSettings;
    std::function<void()> SendCursorLine;
    std::function<void()> OpenCyclePage;   // the options dialog's cycle page
    std::function<void()> OpenTriggerPage; // the options dialog's trigger page
    std::function<void()> Activated;       // the editor became the active view

    // The checksum command with the stored choice.
    void ChecksumCommand();
    // A checksum menu item was chosen: store it, update the hint, run the command.
    void ChooseChecksum(int kind);
    // The checksum button's hint for the stored choice (a choice without a name keeps it).
    void UpdateChecksumHint();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    SettingsRecord& m_settings;
    TUiPrompter& m_prompter;
};
