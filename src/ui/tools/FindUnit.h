#pragma once
// The search output window: a dockable tool window whose view lists the lines a search
// found. Created once at start, hidden in the default layout.

#include "settings/SettingsRecord.h"

#include <QDockWidget>
#include <cstdint>
#include <functional>
#include <string_view>

class RichView;

class TFindForm : public QDockWidget {
    Q_OBJECT
public:
    explicit TFindForm(SettingsRecord& settings, QWidget* parent = nullptr);

    // Appends one line of the traffic view (without its line break) at RichFind's caret:
    // the header up to the first "]" in grey, the rest trimmed and in `color`.
    void AppendFoundLine(std::string_view line, uint32_t color);
    // Shows the window where the docking layout keeps it, with its check in the menus.
    void ShowOutput();

    RichView* RichFind = nullptr;

    std::function<void()> RefreshSettings;
    std::function<void()> Activated; // the output view became the active view

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    SettingsRecord& m_settings;
};
