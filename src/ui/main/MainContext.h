#pragma once
// What the tool windows need of the main window: the settings record, the traffic engine,
// the views, the refresh of every control after a settings change, and the command slots
// the main window's menus call. The main window implements it; the tool windows know this
// interface only, never the main window itself.

#include <functional>

class QAction;
class QToolButton;
class QWidget;
class RichView;
class TDataRT;
class TFindForm;
struct SettingsRecord;
struct ValuePopupRequest;

class TMainContext {
public:
    virtual ~TMainContext() = default;

    // The window that owns the tool windows.
    virtual QWidget* MainWindow() = 0;
    virtual SettingsRecord& Settings() = 0;
    // Null until the session has started.
    virtual TDataRT* DataRT() const = 0;
    // Makes every control and engine follow the settings record.
    virtual void RefreshSettings() = 0;
    virtual RichView* TrafficView() = 0;
    // Null while the send window or the search output does not exist.
    virtual RichView* SendEditor() = 0;
    virtual TFindForm* SearchOutput() = 0;
    // The view tool bar's filter button and the window tool bar's colour button.
    virtual QAction* FilterButton() = 0;
    virtual QToolButton* ColorButton() = 0;

    // Process-memory switches of auto save and auto clear, off at every start.
    bool AutoSaveOn = false;
    bool AutoClearOn = false;

    // Commands of the tool windows, filled in by each as it is installed; until then the
    // menu items that call them do nothing.
    std::function<void()> ShowFindDialog, FindNext, ShowFilterDialog, ShowColorSettings,
        ShowAutoSave, ShowConverter, ShowAsciiTable, ShowPrintPreview, PrintDirect, ShowCyclePage,
        ShowTriggerPage, ShowAbout, ShowValuePopupForSelection;
    std::function<void(const ValuePopupRequest&)> ShowValuePopup;
};
