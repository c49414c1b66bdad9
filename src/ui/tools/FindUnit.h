#pragma once
// The search output window: a dockable tool window whose view lists the lines a search
// found. Created once at start, hidden in the default layout.

#include "settings/SettingsRecord.h"

#include <QDockWidget>
#include <functional>

class RichView;

class TFindForm : public QDockWidget {
    Q_OBJECT
public:
    explicit TFindForm(SettingsRecord& settings, QWidget* parent = nullptr);

    RichView* RichFind = nullptr;

    std::function<void()> RefreshSettings;
    std::function<void()> Activated; // the output view became the active view

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    SettingsRecord& m_settings;
};
