#pragma once
// The main window: the traffic view in the middle, the port and window tool bars above,
// the view tool bar and the status bar below, the docked tool windows around it. It owns
// the long-lived engines (the serial connection, its receive thread and the traffic
// pump) and keeps every control in line with the settings record (RefreshSettings).

#include "serial/OruScomm.h"
#include "settings/SettingsRecord.h"
#include "traffic/DataRT.h"
#include "ui/main/AppOptions.h"
#include "ui/main/MainContext.h"
#include "ui/main/TrafficTrim.h"

#include <QList>
#include <QMainWindow>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class QAction;
class QComboBox;
class QFrame;
class QMenu;
class QTimer;
class QToolBar;
class QToolButton;
class RichView;
class TViewSaver;
class TCaptureControl;
class TComComboBox;
class TPortComboBox;
class TPortSession;
class TFindForm;
class TPlotForm;
class TScriptForm;
class TSendForm;
class TSetForm;
class TaboutForm;
class TStatusBarMY;
class TTapControl;
class TModbusNotes;
class TUiPrompter;

class TMainForm : public QMainWindow, public TMainContext {
    Q_OBJECT
public:
    // Runs FormCreate: the data folder, the settings file (defaults without one) and the
    // port list. The settings record and the clock are the process-wide ones unless a
    // test gives its own.
    explicit TMainForm(TUiPrompter& prompter, SettingsRecord& settings = ProgramSettings(),
                       Clock& clock = SystemClock::Instance());
    ~TMainForm() override;

    // The start-up steps after FormCreate, in the order the program runs them.
    void CreateWindows();
    void SetTextCapacity(int64_t characters);
    void LoadCommandLineFile(const QString& path);
    // Runs once, when the window is first shown.
    void StartSession();

    void RefreshSettings() override;
    // The program's own choices (config.ini [Options]), read at the start of the session
    // and written with the layout.
    TAppOptions& Options() { return m_options; }
    // Shows or hides the commands the shipped layout hides, as Options().allCommands says.
    void ApplyAllCommands();
    void TogglePort();
    void ApplyPause();
    void Timer1Timer();
    void StatusBarDoubleClick();

    // File commands of both editors.
    void SaveFile(RichView* editor);
    void OpenFile(RichView* editor);
    // Every change of the traffic view: auto save, auto clear, the line cap.
    void RichShowChange();
    // A keystroke command (Ctrl + key) to the control that holds the focus.
    void SendCtrlKey(int key);
    // The placements of the Window menu.
    enum class TPlacement { Center, Top, Bottom, Left, Right };
    void PlaceWindow(TPlacement placement);

    // The saves of shutdown ("config.ini", "data", "send"); then the engines stop.
    void FormClose();
    // What those saves would write now, each file's path and bytes; nothing is written.
    std::vector<std::pair<std::string, std::string>> ClosingFiles();
    void StopEngines();

    // --- TMainContext ---
    QWidget* MainWindow() override { return this; }
    SettingsRecord& Settings() override { return m_settings; }
    TDataRT* DataRT() const override { return m_dataRT.get(); }
    RichView* TrafficView() override { return RichShow; }
    RichView* SendEditor() override;
    TFindForm* SearchOutput() override { return FindForm; }
    QAction* FilterButton() override { return TbFilter; }
    QToolButton* ColorButton() override { return JvOfficeColorButton1; }

    TOruScomm* Connection() const { return m_connection.get(); }
    TOruComThread* ComThread() const { return m_thread.get(); }
    // File > Tap a Second Port... and Close Tap (ours, with All Commands).
    TTapControl* Tap() const { return m_tap; }
    // How long the status bar says that a send found the port closed.
    static constexpr int PortClosedMessageMs = 4000;
    bool MonitorPaused = false;

    // --- controls, named as the window layout names them ---
    RichView* RichShow = nullptr;
    TSendForm* SendForm = nullptr;
    TFindForm* FindForm = nullptr;
    TSetForm* SetForm = nullptr;
    TaboutForm* AboutForm = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QToolBar* ToolBar4 = nullptr;
    QToolBar* ReceBar = nullptr;
    TStatusBarMY* StatusBarMY1 = nullptr;
    QTimer* Timer1 = nullptr;
    TPortComboBox* CBoxPort = nullptr;
    TComComboBox* CBoxBaudRate = nullptr;
    TComComboBox* CBoxParityBits = nullptr;
    TComComboBox* CBoxDataBits = nullptr;
    TComComboBox* CBoxStopBits = nullptr;
    QToolButton* JvOfficeColorButton1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QMenu* PopupMenu2 = nullptr;

    // Port tool bar, window tool bar, view tool bar.
    QAction *TbSave = nullptr, *TbPort = nullptr, *TbPause = nullptr, *TbDTR = nullptr,
            *TbRTS = nullptr;
    QAction *TbSendWindow = nullptr, *TbFindWindow = nullptr, *TbWebPage = nullptr;
    QAction *TbTime = nullptr, *TbShowSending = nullptr, *TbWordWrap = nullptr, *TbFilter = nullptr,
            *TbAsciiReceive = nullptr, *TbClear = nullptr;

    // Menu items that others check or call.
    QAction *N6 = nullptr, *N7 = nullptr, *N10 = nullptr, *N11 = nullptr, *N14 = nullptr,
            *N15 = nullptr, *N18 = nullptr;
    QAction *F1 = nullptr, *N25 = nullptr;
    QAction *N29 = nullptr, *ShowRxTx2 = nullptr, *N49 = nullptr, *N30 = nullptr, *N38 = nullptr,
            *N8 = nullptr, *N12 = nullptr, *N51 = nullptr;
    QAction *N33 = nullptr, *N37 = nullptr, *N36 = nullptr, *N40 = nullptr, *N41 = nullptr,
            *N44 = nullptr, *N45 = nullptr, *N39 = nullptr, *N43 = nullptr, *ASCII1 = nullptr;
    QAction* N59 = nullptr;
    // Tools > Reconnect Automatically.
    QAction* ReconnectAuto = nullptr;
    TPortSession* Reconnect() const { return m_session.get(); }
    // A network port being opened on a thread of its own; the port button stops it.
    bool OpeningPort() const { return m_opening.joinable(); }
    // View > All Commands (ours): shows the commands the shipped layout hides.
    QAction* AllCommands = nullptr;
    // View > Check Received Checksum (ours) and its twin in the view tool bar's drop-down.
    QAction *CheckReceived1 = nullptr, *CheckReceived2 = nullptr;
    // Its own choice of computation, a submenu beside both switches ("Checksum to Check"),
    // one item per ChecksumChoices entry in their order. The send window's checksum button
    // stays for sending.
    QMenu* CheckReceivedKind = nullptr;
    QList<QAction*> CheckReceivedKinds;
    // The traffic view checks received checksums as Options() say.
    void ApplyReceivedCheck();
    QAction *showtime1 = nullptr, *showRxTx1 = nullptr, *N42 = nullptr;
    // View > Decode (ours): None or Modbus RTU, and the register values' format.
    QMenu* DecodeMenu = nullptr;
    QAction *DecodeNone = nullptr, *DecodeModbus = nullptr;
    QList<QAction*> ModbusValueActions; // in the order of TModbusValueFormat
    // Decodes the traffic as Options() says; null until decoding was first switched on.
    void ApplyDecode();
    TModbusNotes* ModbusNotes() const { return m_modbus.get(); }
    // View > Plot (ours, with All Commands): values of the traffic against time.
    TPlotForm* PlotForm = nullptr;
    QAction* PlotWindow = nullptr;
    // Tools > Scripts... (ours, with All Commands): made when first asked for.
    TScriptForm* ScriptForm = nullptr;
    QAction* ScriptsItem = nullptr;
    void ShowScripts();
    // The number a plotted sample keeps of the traffic line it came from, and the line it
    // names now (std::nullopt once the line was cut or the view cleared).
    uint64_t TrafficLineNumber(int line) const;
    std::optional<int> TrafficLineOf(uint64_t number) const;
    // Selects a traffic line and scrolls to it (a click on a plotted sample).
    void ShowTrafficLine(uint64_t number);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void BuildMenus();
    void BuildToolBars();
    void BuildCentre();
    QAction* MenuItem(QMenu* menu, const char* name, const QString& caption,
                      const QKeySequence& shortcut = QKeySequence(), bool shown = true);
    void Toggle(bool& flag);
    void ToggleSendWindow();
    void ToggleFindWindow();
    void SetActiveView(TextView* view);
    void WakePump();
    // The status bar is refreshed soon (Timer1 runs until a refresh finds nothing new).
    void KickStatus();
    void SaveSettings();
    // The port list indexes and the mark colour as the window shows them, into record.
    void StoreWindowChoices(SettingsRecord& record) const;
    QList<QDockWidget*> LayoutDocks() const;
    void SaveSendText();
    void LoadSendText();
    // The largest file `view` loads.
    uint64_t LoadLimit(const RichView* view) const;
    TTrafficLimits TrafficLimits() const;
    // Loads a file into a view. The traffic view shows at most what it keeps: for a larger
    // file the user is asked first, and the status bar tells how many lines are shown.
    void LoadFileInto(RichView* view, QWidget* parent, const std::string& path);
    void RemoveOurStaleFiles();
    void ShowPortState(bool open);
    // A port that may wait (a network server) opens off the window's thread: connecting,
    // the server's hello and the settings; the result comes back here.
    void StartOpening();
    void StopOpening();
    void FinishOpening(std::optional<ECom> failure);
    void ShowOpenFailure(const ECom& e);
    void ShowPortNotice(const std::string& notice);
    // The two halves of the port button, shared with the reconnect after a hang-up.
    void CreateReconnect();
    // File > Tap a Second Port...: the control, its menu items and its colour.
    void CreateTap();
    void InstallViewMenu(RichView* view);
    void BuildReceivedCheck(QMenu* view);
    void BuildDecode(QMenu* view);
    // The Help commands: the user guide in the browser, or its path when none starts.
    void OpenUserGuide();

    TUiPrompter& m_prompter;
    SettingsRecord& m_settings;
    Clock& m_clock;
    std::unique_ptr<TOruScomm> m_connection;
    std::unique_ptr<TOruComThread> m_thread;
    std::unique_ptr<TDataRT> m_dataRT;
    std::atomic<bool> m_pumpWakePosted{false};
    int32_t m_shownTx = 0;
    QString m_statusSeen; // what the last status refresh showed
    TAppOptions m_options;
    std::unique_ptr<TPortSession> m_session;
    std::thread m_opening;
    bool m_openingStopped = false;
    bool m_sessionStarted = false;
    bool m_closed = false;
    bool m_inChange = false;
    bool m_loadingFile = false; // a file is put into the traffic view: nothing is trimmed
    // Saves of the views as RTF, off the window's thread when large.
    TViewSaver* m_viewSaver = nullptr;
    // File > Capture to File...
    TCaptureControl* m_capture = nullptr;
    TTapControl* m_tap = nullptr;
    bool m_autoSaving = false; // an auto save is being written in the background
    bool m_autoSaveFailing = false;
    QFrame* m_panel2 = nullptr;
    std::unique_ptr<TModbusNotes> m_modbus;
};
