#include "ui/main/MainForm.h"

#include "protocol/ModbusRtu.h"
#include "traffic/PortSession.h"

#include "codec/HexCodec.h"

#include "platform/FileIO.h"
#include "protocol/ModbusRtu.h"
#include "richtext/RichText.h"
#include "settings/SettingsFile.h"
#include "ui/main/AllCommands.h"
#include "ui/main/Application.h"
#include "ui/main/CaptureControl.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/DockGrabber.h"
#include "ui/main/DockLayout.h"
#include "ui/main/FileLoad.h"
#include "ui/main/Icons.h"
#include "ui/main/ModbusNotes.h"
#include "ui/main/QtTimer.h"
#include "ui/main/RichView.h"
#include "ui/main/ScreenFit.h"
#include "ui/main/StatusBarMY.h"
#include "ui/main/TapControl.h"
#include "ui/main/ToolBarItems.h"
#include "ui/main/TrafficTrim.h"
#include "ui/main/UiPrompter.h"
#include "ui/main/UserGuide.h"
#include "ui/main/ViewSaver.h"
#include "ui/print/PrintUnit.h"
#include "ui/send/SendForm.h"
#include "ui/send/SetForm.h"
#include "ui/tools/AscUnit.h"
#include "ui/tools/BColorSetUnit.h"
#include "ui/tools/ColorButton.h"
#include "ui/tools/FilterUnit.h"
#include "ui/tools/FindDiaUnit.h"
#include "ui/tools/FindUnit.h"
#include "ui/tools/HexUnit.h"
#include "ui/tools/PlotUnit.h"
#include "ui/tools/PopUnit.h"
#include "ui/tools/ScriptUnit.h"
#include "ui/tools/TimeSaveUnit.h"
#include "ui/tools/aboutUnit.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QString FromLatin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

TextStyle PlainStyle() {
    TextStyle s;
    s.fontName = "Courier New";
    s.sizeHalfPoints = 18;
    s.color = 0;
    return s;
}

} // namespace

TMainForm::TMainForm(TUiPrompter& prompter, SettingsRecord& settings, Clock& clock)
    : m_prompter(prompter), m_settings(settings), m_clock(clock) {
    setObjectName(QStringLiteral("MainForm"));
    m_viewSaver = new TViewSaver(this);
    setWindowTitle(QStringLiteral("Korvane"));
    setWindowIcon(KorvaneIcon(TIconKind::Program));
    QFont tahoma(QStringLiteral("Tahoma"));
    tahoma.setPointSize(8);
    setFont(tahoma);
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    setTabPosition(Qt::AllDockWidgetAreas, QTabWidget::South);
    BuildCentre();
    BuildToolBars();
    BuildMenus();
    // Designed client size and place; the layout file moves it later.
    setGeometry(360, 169, 614, 465 + menuBar()->sizeHint().height());

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer1->start();
    // The status bar follows what the user does; Timer1 runs only while something changes.
    qApp->installEventFilter(this);

    FormCreate();
}

TMainForm::~TMainForm() {
    qApp->removeEventFilter(this);
    StopEngines();
}

void TMainForm::FormCreate() {
    bool chosenBefore = false;
    try {
        chosenBefore = LoadSettingsAtStartup(m_settings);
    } catch (const std::exception& e) {
        // The record holds the defaults; the user learns why the stored ones are missing.
        m_prompter.Warning(nullptr, QString::fromLocal8Bit(e.what()), QStringLiteral("Korvane"));
    }
    RemoveOurStaleFiles();
    CBoxPort->Reload();
    // The first start offers the simulated device when one is registered (make run does),
    // so a machine without serial hardware shows traffic at once.
    if (const int sim = CBoxPort->findText(QStringLiteral("SIM0"));
        !chosenBefore && sim >= 0 && sim < 255) {
        m_settings.portIndex = static_cast<uint8_t>(sim);
    }
    if (m_settings.portIndex >= CBoxPort->count()) {
        m_settings.portIndex = 0;
    }
}

QAction* TMainForm::MenuItem(QMenu* menu, const char* name, const QString& caption,
                             const QKeySequence& shortcut, bool shown) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(QString::fromLatin1(name));
    QShortcut* standIn = nullptr;
    if (!shortcut.isEmpty()) {
        a->setShortcut(shortcut);
        // Shortcuts work from the floating tool windows too.
        a->setShortcutContext(Qt::ApplicationShortcut);
        if (!shown) {
            // A hidden item's shortcut still reaches its command.
            standIn = new QShortcut(shortcut, this);
            standIn->setObjectName(QString::fromLatin1(name) + QStringLiteral("Shortcut"));
            standIn->setContext(Qt::ApplicationShortcut);
            connect(standIn, &QShortcut::activated, a, &QAction::trigger);
        }
    }
    if (!shown) {
        MarkHiddenCommand(a, standIn);
    }
    return a;
}

void TMainForm::BuildCentre() {
    auto* panel1 = new QWidget(this);
    panel1->setObjectName(QStringLiteral("Panel1"));
    auto* layout = new QVBoxLayout(panel1);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    RichShow = new RichView(panel1);
    RichShow->setObjectName(QStringLiteral("RichShow"));
    layout->addWidget(RichShow, 1);
    ReceBar = new QToolBar(panel1);
    ReceBar->setObjectName(QStringLiteral("ReceBar"));
    ReceBar->setFixedHeight(26);
    ReceBar->setIconSize(QSize(16, 16));
    layout->addWidget(ReceBar);
    m_panel2 = new QFrame(panel1);
    m_panel2->setObjectName(QStringLiteral("Panel2"));
    m_panel2->setFrameShape(QFrame::HLine);
    m_panel2->setFrameShadow(QFrame::Sunken);
    m_panel2->setFixedHeight(2);
    layout->addWidget(m_panel2);
    setCentralWidget(panel1);
    // Across the whole window, under the docked tool windows too.
    StatusBarMY1 = new TStatusBarMY(this);
    setStatusBar(StatusBarMY1);
    connect(StatusBarMY1, &TStatusBarMY::doubleClicked, this, &TMainForm::StatusBarDoubleClick);
    connect(RichShow, &RichView::changed, this, &TMainForm::RichShowChange);
    connect(RichShow, &RichView::focusIn, this, [this] { SetActiveView(RichShow); });
}

void TMainForm::BuildToolBars() {
    auto icon = [](TIconKind kind) { return KorvaneIcon(kind); };
    ToolBar1 = addToolBar(QStringLiteral("Port"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->setMovable(false);
    TbSave = AddToolButton(ToolBar1, {"ToolButton18", icon(TIconKind::Save), QString(),
                                      QStringLiteral("Save Receiving  Message")});
    AddToolSeparator(ToolBar1, "ToolButton7", true);
    TbPort = AddToolButton(ToolBar1, {"ToolButton1", icon(TIconKind::PortClosed), QString(),
                                      QStringLiteral("Open Port")});
    TbPause = AddToolButton(ToolBar1, {"ToolButton2", icon(TIconKind::Pause), QString(),
                                       QStringLiteral("暂停报文监视"), true});
    AddToolSeparator(ToolBar1, "ToolButton19", true);
    CBoxPort = new TPortComboBox(ToolBar1);
    CBoxPort->setObjectName(QStringLiteral("CBoxPort"));
    CBoxPort->setFixedWidth(90);
    ToolBar1->addWidget(CBoxPort);
    auto combo = [this](const char* name, TComProperty kind, int width) {
        auto* c = new TComComboBox(ToolBar1);
        c->setObjectName(QString::fromLatin1(name));
        c->SetComProperty(kind);
        c->SetAutoApply(true);
        c->setFixedWidth(width);
        ToolBar1->addWidget(c);
        return c;
    };
    CBoxBaudRate = combo("CBoxBaudRate", cpBaudRate, 70);
    CBoxParityBits = combo("CBoxParityBits", cpParity, 62);
    CBoxDataBits = combo("CBoxDataBits", cpDataBits, 40);
    CBoxStopBits = combo("CBoxStopBits", cpStopBits, 48);
    CBoxBaudRate->setCurrentText(QStringLiteral("9600"));
    CBoxParityBits->setCurrentText(QStringLiteral("None"));
    CBoxDataBits->setCurrentText(QStringLiteral("8"));
    CBoxStopBits->setCurrentText(QStringLiteral("1"));
    AddToolSeparator(ToolBar1, "ToolButton30", true);
    TbDTR = AddToolButton(ToolBar1, {"ToolButton28", QIcon(), QStringLiteral("DTR"), {}, true});
    TbRTS = AddToolButton(ToolBar1, {"ToolButton29", QIcon(), QStringLiteral("RTS"), {}, true});

    ToolBar4 = addToolBar(QStringLiteral("Windows"));
    ToolBar4->setObjectName(QStringLiteral("ToolBar4"));
    ToolBar4->setIconSize(QSize(16, 16));
    ToolBar4->setMovable(false);
    TbSendWindow = AddToolButton(ToolBar4, {"ToolButton4", icon(TIconKind::SendWindow), QString(),
                                            QStringLiteral("Send Window"), true});
    TbFindWindow = AddToolButton(
        ToolBar4, {"ToolButton12", icon(TIconKind::FindWindow), QString(), QString(), true, false});
    AddToolSeparator(ToolBar4, "ToolButton25", true);
    TbWebPage = AddToolButton(ToolBar4, {"ToolButton5", icon(TIconKind::WebPage), QString(),
                                         QStringLiteral("Help Online")});
    AddToolSeparator(ToolBar4, "ToolButton8", true);
    JvOfficeColorButton1 = new QToolButton(ToolBar4);
    JvOfficeColorButton1->setObjectName(QStringLiteral("JvOfficeColorButton1"));
    JvOfficeColorButton1->setFixedSize(35, 22);
    QAction* colorButton = ToolBar4->addWidget(JvOfficeColorButton1);
    colorButton->setObjectName(JvOfficeColorButton1->objectName());
    MarkHiddenCommand(colorButton);

    connect(TbSave, &QAction::triggered, this, [this] { SaveFile(RichShow); });
    connect(TbPort, &QAction::triggered, this, &TMainForm::TogglePort);
    connect(TbPause, &QAction::triggered, this, [this] {
        MonitorPaused = !MonitorPaused;
        ApplyPause();
    });
    connect(TbDTR, &QAction::triggered, this, [this] { Toggle(m_settings.dtrEnabled); });
    connect(TbRTS, &QAction::triggered, this, [this] { Toggle(m_settings.rtsEnabled); });
    connect(TbSendWindow, &QAction::triggered, this, &TMainForm::ToggleSendWindow);
    connect(TbWebPage, &QAction::triggered, this, &TMainForm::OpenUserGuide);

    // View tool bar under the traffic view.
    AddToolSeparator(ReceBar, "ToolButton3", true);
    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    showtime1 = PopupMenu2->addAction(QStringLiteral("Show Time"));
    showtime1->setObjectName(QStringLiteral("showtime1"));
    showtime1->setCheckable(true);
    showRxTx1 = PopupMenu2->addAction(QStringLiteral("Show RxTx"));
    showRxTx1->setObjectName(QStringLiteral("showRxTx1"));
    showRxTx1->setCheckable(true);
    TbTime = AddToolButton(
        ReceBar, {"ToolButton14", QIcon(), QStringLiteral("text"), QStringLiteral("Display Time")});
    TbTime->setMenu(PopupMenu2);
    if (auto* b = qobject_cast<QToolButton*>(ReceBar->widgetForAction(TbTime))) {
        b->setPopupMode(QToolButton::MenuButtonPopup);
    }
    TbShowSending = AddToolButton(ReceBar, {"ToolButton15", icon(TIconKind::Send), QString(),
                                            QStringLiteral("Display Sending Message"), true});
    AddToolSeparator(ReceBar, "ToolButton31", true);
    TbWordWrap = AddToolButton(ReceBar, {"ToolButton22", icon(TIconKind::WordWrap), QString(),
                                         QStringLiteral("Word Wrap"), true, false});
    AddToolSeparator(ReceBar, "ToolButton20", false);
    TbFilter = AddToolButton(ReceBar, {"ToolButton17", icon(TIconKind::Filter), QString(),
                                       QStringLiteral("Filter Settings"), true, false});
    AddToolSeparator(ReceBar, "ToolButton6", false);
    TbAsciiReceive = AddToolButton(ReceBar, {"ToolButton26", icon(TIconKind::Ascii), QString(),
                                             QStringLiteral("ASCII Receive"), true});
    AddToolSeparator(ReceBar, "ToolButton27", true);
    TbClear = AddToolButton(ReceBar, {"ToolButton21", icon(TIconKind::Clear), QString(),
                                      QStringLiteral("Clear Screen"), false, false});

    connect(showtime1, &QAction::triggered, this, [this] { Toggle(m_settings.showTime); });
    connect(showRxTx1, &QAction::triggered, this, [this] { Toggle(m_settings.showRxTx); });
    connect(TbShowSending, &QAction::triggered, this, [this] { Toggle(m_settings.showSending); });
    connect(TbWordWrap, &QAction::triggered, this, [this] { Toggle(m_settings.wordWrap); });
    connect(TbFilter, &QAction::triggered, this, [this] {
        if (ShowFilterDialog) {
            ShowFilterDialog();
        }
        RefreshSettings();
    });
    connect(TbAsciiReceive, &QAction::triggered, this, [this] { Toggle(m_settings.asciiReceive); });
    connect(TbClear, &QAction::triggered, this, [this] {
        if (m_dataRT != nullptr && m_dataRT->TrafficView != nullptr) {
            m_dataRT->TrafficView->Clear();
        }
    });
}

void TMainForm::BuildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    auto menu = [bar](const char* name, const QString& caption) {
        QMenu* m = bar->addMenu(caption);
        m->setObjectName(QString::fromLatin1(name));
        m->menuAction()->setObjectName(QString::fromLatin1(name));
        return m;
    };
    auto separator = [](QMenu* m, const char* name, bool shown) {
        QAction* s = m->addSeparator();
        s->setObjectName(QString::fromLatin1(name));
        if (!shown) {
            MarkHiddenCommand(s);
        }
    };
    auto call = [](const std::function<void()>& f) {
        if (f) {
            f();
        }
    };

    QMenu* file = menu("N1", QStringLiteral("File"));
    N6 = MenuItem(file, "N6", QStringLiteral("Open Receiving  Message"));
    N6->setIcon(KorvaneIcon(TIconKind::Open));
    N7 = MenuItem(file, "N7", QStringLiteral("Save Receiving  Message"),
                  QKeySequence(Qt::CTRL | Qt::Key_S));
    N7->setIcon(KorvaneIcon(TIconKind::Save));
    separator(file, "N9", true);
    N10 = MenuItem(file, "N10", QStringLiteral("Open Sending Message"));
    N10->setIcon(KorvaneIcon(TIconKind::Open));
    N11 = MenuItem(file, "N11", QStringLiteral("Save Sending Message"));
    N11->setIcon(KorvaneIcon(TIconKind::Save));
    separator(file, "N13", false);
    N14 = MenuItem(file, "N14", QStringLiteral("Print"), QKeySequence(), false);
    N14->setIcon(KorvaneIcon(TIconKind::Print));
    N15 = MenuItem(file, "N15", QStringLiteral("Print Preview"), QKeySequence(), false);
    separator(file, "N17", true);
    N18 = MenuItem(file, "N18", QStringLiteral("Exit"));
    m_capture = new TCaptureControl(*RichShow, m_prompter, this, [this] {
        TCaptureControl::Settings capture;
        capture.rotateBytes = uint64_t(std::max(0, m_options.captureRotateMB)) * 1024 * 1024;
        capture.colors = {TrafficPrefixColor, m_settings.receiveTextColor,
                          m_settings.sendTextColor};
        if (m_tap != nullptr && m_tap->Active()) {
            capture.colors.push_back(m_options.tapTextColor);
        }
        return capture;
    });
    m_capture->AddAction(file, file->findChild<QAction*>(QStringLiteral("N13")));
    connect(N6, &QAction::triggered, this, [this] { OpenFile(RichShow); });
    connect(N7, &QAction::triggered, this, [this] { SaveFile(RichShow); });
    connect(N10, &QAction::triggered, this, [this] {
        if (SendForm != nullptr) {
            OpenFile(SendForm->RichSend);
        }
    });
    connect(N11, &QAction::triggered, this, [this] {
        if (SendForm != nullptr) {
            SaveFile(SendForm->RichSend);
        }
    });
    connect(N14, &QAction::triggered, this, [this, call] { call(PrintDirect); });
    connect(N15, &QAction::triggered, this, [this, call] { call(ShowPrintPreview); });
    connect(N18, &QAction::triggered, this, &QWidget::close);

    QMenu* edit = menu("N2", QStringLiteral("Edit"));
    QAction* n19 = MenuItem(edit, "N19", QStringLiteral("Undo     Ctrl+Z"));
    separator(edit, "N20", true);
    QAction* n21 = MenuItem(edit, "N21", QStringLiteral("Cut      Ctrl+X"));
    QAction* n22 = MenuItem(edit, "N22", QStringLiteral("Copy     Ctrl+C"));
    QAction* n23 = MenuItem(edit, "N23", QStringLiteral("Paste    Ctrl+V"));
    separator(edit, "N24", true);
    QAction* n27 = MenuItem(edit, "N27", QStringLiteral("Select All"));
    separator(edit, "N26", false);
    F1 = MenuItem(edit, "F1", QStringLiteral("Find"), QKeySequence(Qt::CTRL | Qt::Key_F), false);
    F1->setIcon(KorvaneIcon(TIconKind::Find));
    N25 = MenuItem(edit, "N25", QStringLiteral("Find Next "), QKeySequence(Qt::Key_F3), false);
    connect(n19, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_Z); });
    connect(n21, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_X); });
    connect(n22, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_C); });
    connect(n23, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_V); });
    connect(n27, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_A); });
    connect(F1, &QAction::triggered, this, [this, call] { call(ShowFindDialog); });
    connect(N25, &QAction::triggered, this, [this, call] { call(FindNext); });

    QMenu* view = menu("N3", QStringLiteral("View"));
    N29 = MenuItem(view, "N29", QStringLiteral("Show Time"));
    ShowRxTx2 = MenuItem(view, "ShowRxTx2", QStringLiteral("Show RxTx"));
    N49 = MenuItem(view, "N49", QStringLiteral("Word Wrap"), QKeySequence(), false);
    N30 = MenuItem(view, "N30", QStringLiteral("Show Sending"));
    N38 = MenuItem(view, "N38", QStringLiteral("Filter Settings"), QKeySequence(), false);
    separator(view, "N31", true);
    N8 = MenuItem(view, "N8", QStringLiteral("Send Window"), QKeySequence(Qt::Key_F8));
    N8->setIcon(KorvaneIcon(TIconKind::SendWindow));
    N12 = MenuItem(view, "N12", QStringLiteral("Find Window"), QKeySequence(), false);
    PlotWindow = MenuItem(view, "PlotWindow", QStringLiteral("Plot"), QKeySequence(), false);
    PlotWindow->setCheckable(true);
    separator(view, "N28", false);
    N51 = MenuItem(view, "N51", QStringLiteral("Color Settings"), QKeySequence(), false);
    for (QAction* a : {N29, ShowRxTx2, N49, N30, N38, N8, N12}) {
        a->setCheckable(true);
    }
    connect(N29, &QAction::triggered, this, [this] { Toggle(m_settings.showTime); });
    connect(ShowRxTx2, &QAction::triggered, this, [this] { Toggle(m_settings.showRxTx); });
    connect(N49, &QAction::triggered, this, [this] { Toggle(m_settings.wordWrap); });
    connect(N30, &QAction::triggered, this, [this] { Toggle(m_settings.showSending); });
    connect(N38, &QAction::triggered, this, [this, call] {
        call(ShowFilterDialog);
        RefreshSettings();
    });
    connect(N8, &QAction::triggered, this, &TMainForm::ToggleSendWindow);
    connect(N12, &QAction::triggered, this, &TMainForm::ToggleFindWindow);
    connect(N51, &QAction::triggered, this, [this, call] { call(ShowColorSettings); });
    BuildReceivedCheck(view);
    BuildDecode(view);
    // Our own item, last in the menu: every built command, or the shipped layout.
    QAction* allSeparator = view->addSeparator();
    allSeparator->setObjectName(QStringLiteral("AllCommandsSeparator"));
    AllCommands = MenuItem(view, "AllCommands", QStringLiteral("All Commands"));
    AllCommands->setCheckable(true);
    connect(AllCommands, &QAction::triggered, this, [this](bool on) {
        m_options.allCommands = on;
        ApplyAllCommands();
    });

    QMenu* tools = menu("D2", QStringLiteral("Tools "));
    N33 = MenuItem(tools, "N33", QStringLiteral("Open Port"));
    N33->setIcon(KorvaneIcon(TIconKind::PortClosed));
    N37 = MenuItem(tools, "N37", QStringLiteral("Pause Monitoring"));
    N37->setCheckable(true);
    N37->setIcon(KorvaneIcon(TIconKind::Pause));
    ReconnectAuto = MenuItem(tools, "ReconnectAuto", QStringLiteral("Reconnect Automatically"));
    ReconnectAuto->setCheckable(true);
    ReconnectAuto->setChecked(m_options.reconnectAutomatically);
    connect(ReconnectAuto, &QAction::toggled, this, [this](bool on) {
        m_options.reconnectAutomatically = on;
        if (m_session != nullptr) {
            m_session->SetReconnect(on);
        }
        if (m_tap != nullptr) {
            m_tap->SetReconnect(on);
        }
    });
    N36 = MenuItem(tools, "N36", QStringLiteral("Send Data"), QKeySequence(Qt::Key_F5));
    N36->setIcon(KorvaneIcon(TIconKind::Send));
    separator(tools, "N35", true);
    N40 = MenuItem(tools, "N40", QStringLiteral("ASCII Receive"));
    N41 = MenuItem(tools, "N41", QStringLiteral("ASCII Send"));
    separator(tools, "N4", true);
    N44 = MenuItem(tools, "N44", QStringLiteral("Cycle To Send"), QKeySequence(), false);
    N45 = MenuItem(tools, "N45", QStringLiteral("Trigger Send"), QKeySequence(), false);
    separator(tools, "N47", false);
    N39 = MenuItem(tools, "N39", QStringLiteral("Auto Save or Clear"), QKeySequence(), false);
    N43 = MenuItem(tools, "N43", QStringLiteral("HexDecBin Converter"), QKeySequence(), false);
    ASCII1 = MenuItem(tools, "ASCII1", QStringLiteral("ASCII Table"), QKeySequence(), false);
    ScriptsItem =
        MenuItem(tools, "ScriptsItem", QStringLiteral("Scripts..."), QKeySequence(), false);
    for (QAction* a : {N40, N41, N44, N45}) {
        a->setCheckable(true);
    }
    connect(N33, &QAction::triggered, this, &TMainForm::TogglePort);
    connect(N37, &QAction::triggered, this, [this] {
        MonitorPaused = !MonitorPaused;
        ApplyPause();
    });
    connect(N36, &QAction::triggered, this, [this] {
        if (m_dataRT != nullptr) {
            m_dataRT->SendCursorLine();
        }
    });
    connect(N40, &QAction::triggered, this, [this] { Toggle(m_settings.asciiReceive); });
    connect(N41, &QAction::triggered, this, [this] { Toggle(m_settings.asciiSend); });
    connect(N44, &QAction::triggered, this, [this, call] {
        N44->setChecked(m_settings.cycleSendEnabled);
        call(ShowCyclePage);
    });
    connect(N45, &QAction::triggered, this, [this, call] {
        N45->setChecked(m_settings.timingTriggerEnabled || m_settings.receiveTriggerEnabled);
        call(ShowTriggerPage);
    });
    connect(N39, &QAction::triggered, this, [this, call] { call(ShowAutoSave); });
    connect(N43, &QAction::triggered, this, [this, call] { call(ShowConverter); });
    connect(ASCII1, &QAction::triggered, this, [this, call] { call(ShowAsciiTable); });
    connect(ScriptsItem, &QAction::triggered, this, [this] { ShowScripts(); });

    QMenu* window = menu("N32", QStringLiteral("Window"));
    QAction* n48 = MenuItem(window, "N48", QStringLiteral("Center"));
    QAction* n50 = MenuItem(window, "N50", QStringLiteral("Top"));
    QAction* n55 = MenuItem(window, "N55", QStringLiteral("Bottom"));
    QAction* n53 = MenuItem(window, "N53", QStringLiteral("Left"));
    QAction* n54 = MenuItem(window, "N54", QStringLiteral("Right"));
    separator(window, "N58", true);
    N59 = MenuItem(window, "N59", QStringLiteral("Always On Top"));
    N59->setCheckable(true);
    connect(n48, &QAction::triggered, this, [this] { PlaceWindow(TPlacement::Center); });
    connect(n50, &QAction::triggered, this, [this] { PlaceWindow(TPlacement::Top); });
    connect(n55, &QAction::triggered, this, [this] { PlaceWindow(TPlacement::Bottom); });
    connect(n53, &QAction::triggered, this, [this] { PlaceWindow(TPlacement::Left); });
    connect(n54, &QAction::triggered, this, [this] { PlaceWindow(TPlacement::Right); });
    connect(N59, &QAction::toggled, this, [this](bool on) {
        const bool wasVisible = isVisible();
        setWindowFlag(Qt::WindowStaysOnTopHint, on);
        if (wasVisible) {
            show();
        }
    });

    QMenu* help = menu("N5", QStringLiteral("Help "));
    QAction* n57 = MenuItem(help, "N57", QStringLiteral("Help Online"), QKeySequence(Qt::Key_F1));
    n57->setIcon(KorvaneIcon(TIconKind::Help));
    separator(help, "N60", true);
    QAction* n46 = MenuItem(help, "N46", QStringLiteral("Check For Updates"));
    QAction* n52 = MenuItem(help, "N52", QStringLiteral("Online Support"));
    QAction* n65 = MenuItem(help, "N65", QStringLiteral("Feedback"), QKeySequence(), false);
    separator(help, "N64", false);
    QAction* n56 = MenuItem(help, "N56", QStringLiteral("About"));
    n56->setIcon(KorvaneIcon(TIconKind::About));
    for (QAction* a : {n57, n46, n52, n65}) {
        connect(a, &QAction::triggered, this, &TMainForm::OpenUserGuide);
    }
    connect(n56, &QAction::triggered, this, [this, call] { call(ShowAbout); });

    // The views' edit menu.
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    QAction* n61 = PopupMenu1->addAction(QStringLiteral("Cut     Ctrl+X"));
    n61->setObjectName(QStringLiteral("N61"));
    QAction* n62 = PopupMenu1->addAction(QStringLiteral("Copy    Ctrl+C"));
    n62->setObjectName(QStringLiteral("N62"));
    QAction* n63 = PopupMenu1->addAction(QStringLiteral("Paste   Ctrl+V"));
    n63->setObjectName(QStringLiteral("N63"));
    QAction* n16 = PopupMenu1->addSeparator();
    n16->setObjectName(QStringLiteral("N16"));
    MarkHiddenCommand(n16);
    N42 = PopupMenu1->addAction(QStringLiteral("To Dec Bin"));
    N42->setObjectName(QStringLiteral("N42"));
    MarkHiddenCommand(N42);
    connect(n61, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_X); });
    connect(n62, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_C); });
    connect(n63, &QAction::triggered, this, [this] { SendCtrlKey(Qt::Key_V); });
    connect(N42, &QAction::triggered, this, [this, call] { call(ShowValuePopupForSelection); });
    InstallViewMenu(RichShow);
}

void TMainForm::InstallViewMenu(RichView* view) {
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& pos) {
        view->setFocus(Qt::PopupFocusReason);
        PopupMenu1->popup(view->mapToGlobal(pos));
    });
}

void TMainForm::CreateWindows() {
    SendForm = new TSendForm(m_settings, m_prompter, this);
    SendForm->setTitleBarWidget(new TDockGrabber(SendForm));
    addDockWidget(Qt::LeftDockWidgetArea, SendForm);
    SendForm->RefreshSettings = [this] { RefreshSettings(); };
    SendForm->SendCursorLine = [this] {
        if (m_dataRT != nullptr) {
            m_dataRT->SendCursorLine();
        }
    };
    SendForm->Activated = [this] { SetActiveView(SendForm->RichSend); };
    InstallViewMenu(SendForm->RichSend);

    TSetForm::Hooks hooks;
    hooks.refreshSettings = [this] { RefreshSettings(); };
    hooks.setCycleButtonDown = [this](bool down) { SendForm->ToolButton2->setChecked(down); };
    hooks.reportError = [](const std::string& message) {
        TKorvaneApplication::ReportError(message);
    };
    SetForm = new TSetForm(m_settings, hooks, this);
    // The send window's buttons name the page in the caption; the menu items do not.
    SendForm->OpenCyclePage = [this] { SetForm->ShowCyclePage(true); };
    SendForm->OpenTriggerPage = [this] { SetForm->ShowTriggerPage(true); };
    ShowCyclePage = [this] { SetForm->ShowCyclePage(false); };
    ShowTriggerPage = [this] { SetForm->ShowTriggerPage(false); };

    InstallPopForm(*this);

    FindForm = new TFindForm(m_settings, this);
    FindForm->setTitleBarWidget(new TDockGrabber(FindForm));
    addDockWidget(Qt::BottomDockWidgetArea, FindForm);
    FindForm->hide();
    FindForm->RefreshSettings = [this] { RefreshSettings(); };
    FindForm->Activated = [this] { SetActiveView(FindForm->RichFind); };
    InstallViewMenu(FindForm->RichFind);

    PlotForm = new TPlotForm(this);
    PlotForm->setTitleBarWidget(new TDockGrabber(PlotForm));
    addDockWidget(Qt::BottomDockWidgetArea, PlotForm);
    PlotForm->hide();
    connect(PlotWindow, &QAction::triggered, this, [this](bool on) { PlotForm->setVisible(on); });
    connect(PlotForm, &QDockWidget::visibilityChanged, this,
            [this] { PlotWindow->setChecked(!PlotForm->isHidden()); });
    PlotForm->LineChosen = [this](uint64_t number) { ShowTrafficLine(number); };
    PlotForm->SourceChanged = [this] {
        const TPlotSource source = PlotForm->Source();
        m_options.plotSource = source == TPlotSource::Modbus   ? QStringLiteral("modbus")
                               : source == TPlotSource::Binary ? QStringLiteral("binary")
                                                               : QStringLiteral("text");
        m_options.plotField = PlotForm->FieldText();
    };
    PlotForm->RangeChanged = [this] { m_options.plotRange = PlotForm->RangeText(); };
    PlotForm->ReportFailure = [this](const QString& title, const QString& text) {
        m_prompter.Warning(this, text, title);
    };

    InstallFilterForm(*this, m_prompter);
    InstallFindDialog(*this, m_prompter);
    InstallBColorSetForm(*this, m_prompter);
    InstallColorButton(*this, m_prompter);
    InstallTimeSaveForm(*this, m_prompter);
    InstallPrintForm(*this, m_prompter);
    InstallHexDecForm(*this, m_prompter);
    InstallAscForm(*this);

    AboutForm = new TaboutForm(this);
    ShowAbout = [this] {
        AboutForm->show();
        AboutForm->raise();
    };
    m_prompter.SetOwners(this, SendForm);
}

RichView* TMainForm::SendEditor() {
    return SendForm != nullptr ? SendForm->RichSend : nullptr;
}

void TMainForm::SetTextCapacity(int64_t characters) {
    RichShow->SetMaxLength(characters);
    if (SendForm != nullptr) {
        SendForm->RichSend->SetMaxLength(characters);
    }
    if (FindForm != nullptr) {
        FindForm->RichFind->SetMaxLength(characters);
    }
}

void TMainForm::LoadCommandLineFile(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || info.isDir()) {
        return;
    }
    // Anything else but a regular file of a size the view can hold is refused with its reason.
    LoadFileInto(RichShow, nullptr, path.toStdString());
}

void TMainForm::LoadFileInto(RichView* view, QWidget* parent, const std::string& path) {
    const QString name = QFileInfo(QString::fromStdString(path)).fileName();
    const QString caption = QStringLiteral("Opening %1 ...").arg(name);
    if (view != RichShow) {
        auto text = LoadStyledFile(parent, path, LoadLimit(view), PlainStyle());
        if (!text) {
            return;
        }
        view->SetStyledText({});
        FillViewInSlices(parent != nullptr ? parent : this, *view, *text, caption);
        FreeStyledText(*text);
        return;
    }
    // Fitted to the view and cut where it is read: the window's thread only fills.
    auto file = LoadFittedFile(parent, path, LoadLimit(view), PlainStyle(), TrafficLimits(),
                               RichShow->MaxLength());
    if (!file) {
        return;
    }
    const TFileFit fit = file->fit;
    if (fit.firstShown > 0) {
        if (!m_prompter.Question(this,
                                 QStringLiteral("%1 has %2 lines, more than the traffic view "
                                                "keeps.\nOnly the last %3 lines will be shown. "
                                                "Open it?")
                                     .arg(name)
                                     .arg(fit.lines)
                                     .arg(fit.Shown()),
                                 QStringLiteral("Open"))) {
            return;
        }
    }
    // In slices: the window answers while a large file goes in, and Cancel keeps the
    // whole lines put in so far.
    m_loadingFile = true;
    RichShow->SetStyledText({});
    const TFillOutcome fill = FillViewInSlices(this, *RichShow, file->text, caption);
    m_loadingFile = false;
    FreeStyledText(file->text);
    if (fit.firstShown > 0 || fill.cancelled) {
        StatusBarMY1->SetPanelText(0, QStringLiteral("%1 lines of %2 shown")
                                          .arg(fill.cancelled ? fill.lines : fit.Shown())
                                          .arg(fit.lines));
    }
}

uint64_t TMainForm::LoadLimit(const RichView* view) const {
    return ViewLoadLimit(view->MaxLength(), m_options.viewMemoryBudgetMB);
}

TTrafficLimits TMainForm::TrafficLimits() const {
    TTrafficLimits limits;
    limits.memoryBudget = int64_t{std::max(1, m_options.viewMemoryBudgetMB)} * 1024 * 1024;
    const int64_t budget = limits.memoryBudget;
    if (m_modbus != nullptr) {
        // The decoded frames under the lines share the budget with the text; a line
        // dropped takes its frames along.
        const auto notes = static_cast<int64_t>(m_modbus->MemoryBytes());
        limits.memoryBudget = std::max(budget / 8, limits.memoryBudget - notes);
    }
    // The plot's samples share it too; the text keeps at least an eighth of it.
    if (PlotForm != nullptr) {
        limits.memoryBudget = std::max(
            budget / 8, limits.memoryBudget - static_cast<int64_t>(PlotForm->MemoryBytes()));
    }
    return limits;
}

uint64_t TMainForm::TrafficLineNumber(int line) const {
    // The clear count in the high bits: a number from before a clear names no line after it.
    const TLineStore& store = RichShow->Store();
    return (store.Clears() << 40) | (store.FrontLinesDropped() + static_cast<uint64_t>(line));
}

std::optional<int> TMainForm::TrafficLineOf(uint64_t number) const {
    const TLineStore& store = RichShow->Store();
    if ((number >> 40) != store.Clears()) {
        return std::nullopt;
    }
    const uint64_t absolute = number & ((uint64_t{1} << 40) - 1);
    if (absolute < store.FrontLinesDropped() ||
        absolute - store.FrontLinesDropped() >=
            static_cast<uint64_t>(RichShow->StoredLineCount())) {
        return std::nullopt;
    }
    return static_cast<int>(absolute - store.FrontLinesDropped());
}

void TMainForm::ShowTrafficLine(uint64_t number) {
    const std::optional<int> line = TrafficLineOf(number);
    if (!line) {
        StatusBarMY1->FlashPanelText(
            0, QStringLiteral("That sample's line is no longer in the traffic view"),
            PortClosedMessageMs);
        return;
    }
    // Selected from its end back to its start: the caret at the start keeps the prefix in
    // sight when the line is wider than the view.
    const int length = static_cast<int>(RichShow->LineString(*line).size());
    RichShow->SetSelectionRange(TextRange{*line, length, *line, 0});
    RichShow->EnsureCaretVisible();
    SetActiveView(RichShow);
}

void TMainForm::RemoveOurStaleFiles() {
    // Interrupted saves of an earlier run leave their temporary files in the folders we
    // write to; those of a copy of the program that is still running stay.
    RemoveStaleTemporaryFiles(DataFolder());
    if (!m_settings.autoSavePath.empty()) {
        RemoveStaleTemporaryFiles(m_settings.autoSavePath);
    }
    const QString last = QString::fromStdString(m_settings.lastFileName);
    if (!last.isEmpty()) {
        RemoveStaleTemporaryFiles(QFileInfo(last).absolutePath().toStdString());
    }
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!m_sessionStarted) {
        m_sessionStarted = true;
        try {
            StartSession();
        } catch (...) {
            // A failed step ends the start-up sequence; the window stays usable.
        }
    }
}

void TMainForm::StartSession() {
    QList<QDockWidget*> docks;
    if (SendForm != nullptr) {
        docks << SendForm;
    }
    if (FindForm != nullptr) {
        docks << FindForm;
    }
    if (PlotForm != nullptr) {
        docks << PlotForm;
    }
    try {
        const QString layout = QString::fromStdString(DataFilePath(LayoutFileName));
        EnsureLayoutFile(layout);
        LoadDockLayout(layout, this, docks);
        if (const std::optional<QByteArray> text = ReadLayoutText(layout)) {
            m_options = TAppOptions::Read(TIniFile::Parse(*text));
        }
    } catch (...) {
        // The window definitions' layout stays.
    }
    ApplyAllCommands();
    ApplyReceivedCheck();
    ApplyDecode();
    PlotForm->SetSource(m_options.plotSource == QStringLiteral("modbus")   ? TPlotSource::Modbus
                        : m_options.plotSource == QStringLiteral("binary") ? TPlotSource::Binary
                                                                           : TPlotSource::Text);
    // What the plot cannot read is not kept: its own field and autoscale are.
    PlotForm->SetFieldText(m_options.plotField);
    PlotForm->SetRangeText(m_options.plotRange);
    m_options.plotField = PlotForm->FieldText();
    m_options.plotRange = PlotForm->RangeText();

    m_connection = std::make_unique<TOruScomm>(m_clock);
    m_connection->SetRecordGap(static_cast<uint32_t>(m_options.recordGapMs));
    m_connection->SetFrameEnd(m_options.decode == QStringLiteral("modbus") ? &ModbusRtuWholeFrame
                                                                           : nullptr);
    // A queued record wakes the pump, which sleeps while there is nothing to display. One
    // call waits in the window's queue at a time, however fast records come.
    m_connection->OnRecordQueued = [this] {
        if (!m_pumpWakePosted.exchange(true)) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_pumpWakePosted = false;
                    WakePump();
                },
                Qt::QueuedConnection);
        }
    };
    CreateReconnect();
    m_thread = std::make_unique<TOruComThread>(*m_connection);
    m_thread->Park(); // closed port: the thread waits with a park count of 2
    CreateTap();
    m_dataRT = std::make_unique<TDataRT>(
        SendForm != nullptr ? SendForm->RichSend : nullptr, RichShow,
        FindForm != nullptr ? FindForm->RichFind : nullptr, m_connection.get(), m_settings, m_clock,
        m_prompter, TQtTimer::Factory());
    if (auto* pump = dynamic_cast<TQtTimer*>(&m_dataRT->PumpTimer())) {
        pump->SetDuePredicate([this] {
            // A send of a trigger while monitoring is paused queues no record to tell of it.
            if (m_connection->TxCount.load() != m_shownTx) {
                KickStatus();
            }
            return m_dataRT->PumpDueIn();
        });
    }
    m_dataRT->OnPortClosed = [this] {
        StatusBarMY1->FlashPanelText(0, QStringLiteral("Port is closed"), PortClosedMessageMs);
    };
    m_dataRT->TapTextColor = m_options.tapTextColor;
    m_dataRT->OnRecord = [this](std::string_view record, bool shown) {
        // A tapped port's records are received ones, in the first port's format.
        const bool hex =
            record.front() != 'T' ? m_connection->HexReceive != 0 : m_connection->HexSend != 0;
        const std::vector<TModbusFrame>* frames = nullptr;
        if (m_modbus != nullptr && RichShow->LineNotes() == m_modbus.get()) {
            m_modbus->Record(record, hex, shown, m_clock.Milliseconds());
            frames = &m_modbus->LastFrames();
        }
        // Values are taken while the plot is open, from the records the view shows.
        if (shown && PlotForm != nullptr && !PlotForm->isHidden()) {
            const std::string bytes = RecordBytes(record, hex);
            PlotForm->AddRecord(record.front() != 'T',
                                static_cast<uint64_t>(QDateTime::currentMSecsSinceEpoch()),
                                TrafficLineNumber(RichShow->StoredLineCount() - 2),
                                reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        }
        if (ScriptForm != nullptr) {
            ScriptForm->Record(record, hex, frames);
        }
    };
    m_dataRT->OnValuePopup = [this](const ValuePopupRequest& r) {
        if (ShowValuePopup) {
            ShowValuePopup(r);
        }
    };

    CBoxBaudRate->SetComPort(m_connection->Device.get());
    CBoxDataBits->SetComPort(m_connection->Device.get());
    CBoxStopBits->SetComPort(m_connection->Device.get());
    CBoxParityBits->SetComPort(m_connection->Device.get());

    TbRTS->setEnabled(false);
    TbDTR->setEnabled(false);

    m_settings.cycleSendEnabled = false;
    m_settings.timingTriggerEnabled = false;
    m_settings.receiveTriggerEnabled = false;
    m_settings.filterEnabled = false;

    CBoxPort->setCurrentIndex(m_settings.portIndex < CBoxPort->count() ? m_settings.portIndex : -1);
    CBoxBaudRate->SelectIndex(m_settings.baudRateIndex);
    CBoxParityBits->SelectIndex(m_settings.parityIndex);
    CBoxDataBits->SelectIndex(m_settings.dataBitsIndex);
    CBoxStopBits->SelectIndex(m_settings.stopBitsIndex);

    JvOfficeColorButton1->setProperty("selectedColor", QVariant::fromValue(m_settings.markColor));

    RichShow->SetBackgroundColor(m_settings.receiveWindowColor);
    if (SendForm != nullptr) {
        SendForm->RichSend->SetBackgroundColor(m_settings.sendWindowColor);
        SendForm->RichSend->SetTextColor(0);
    }
    if (FindForm != nullptr) {
        FindForm->RichFind->SetBackgroundColor(m_settings.searchWindowColor);
        FindForm->RichFind->SetTextColor(0);
    }
    if (RichShow->TextLength() == 0) {
        RichShow->SetTextColor(0);
    }

    setWindowFlag(Qt::WindowStaysOnTopHint, false);
    RichShow->setFocus();
    RefreshSettings();
    LoadSendText();
}

void TMainForm::LoadSendText() {
    if (SendForm == nullptr) {
        return;
    }
    try {
        const std::string path = DataFilePath(SendFileName);
        if (!PathExists(path)) {
            return;
        }
        if (auto text = LoadStyledFile(this, path, LoadLimit(SendForm->RichSend), PlainStyle())) {
            SendForm->RichSend->SetStyledText(*text);
        }
    } catch (...) {
        // The send window stays empty.
    }
}

void TMainForm::ApplyAllCommands() {
    AllCommands->setChecked(m_options.allCommands);
    ShowHiddenCommands(this, m_options.allCommands);
    // The received check's switches hide with the rest: a check nobody can switch off, whose
    // marks would stay on the screen, goes off with them.
    if (!m_options.allCommands && m_options.checkReceivedChecksum) {
        m_options.checkReceivedChecksum = false;
        ApplyReceivedCheck();
    }
    // Decoding too: its menu hides with the rest.
    if (!m_options.allCommands && m_options.decode != QStringLiteral("none")) {
        m_options.decode = QStringLiteral("none");
        ApplyDecode();
    }
}

void TMainForm::Toggle(bool& flag) {
    flag = !flag;
    RefreshSettings();
}

void TMainForm::RefreshSettings() {
    const SettingsRecord& s = m_settings;
    TbDTR->setChecked(s.dtrEnabled);
    TbRTS->setChecked(s.rtsEnabled);
    showtime1->setChecked(s.showTime);
    N29->setChecked(s.showTime);
    showRxTx1->setChecked(s.showRxTx);
    ShowRxTx2->setChecked(s.showRxTx);
    TbShowSending->setChecked(s.showSending);
    N30->setChecked(s.showSending);
    TbWordWrap->setChecked(s.wordWrap);
    N49->setChecked(s.wordWrap);
    TbAsciiReceive->setChecked(s.asciiReceive);
    N40->setChecked(s.asciiReceive);
    N41->setChecked(s.asciiSend);
    TbFilter->setChecked(s.filterEnabled);
    N38->setChecked(s.filterEnabled);
    N44->setChecked(s.cycleSendEnabled);
    TbSendWindow->setChecked(s.sendWindowVisible);
    N8->setChecked(s.sendWindowVisible);
    TbFindWindow->setChecked(s.findWindowVisible);
    N12->setChecked(s.findWindowVisible);
    if (SendForm != nullptr) {
        SendForm->ToolButton8->setChecked(s.asciiSend);
        SendForm->ToolButton2->setChecked(s.cycleSendEnabled);
    }

    if (m_dataRT != nullptr) {
        const bool triggers = s.timingTriggerEnabled || s.receiveTriggerEnabled;
        N45->setChecked(triggers);
        if (SendForm != nullptr) {
            SendForm->ToolButton3->setChecked(triggers);
        }
        // A device that refuses a DTR or RTS change must not keep the display switches,
        // the hex switches and the automatic sending from following the record.
        try {
            m_connection->SetLineControl(s.dtrEnabled ? dtrEnable : dtrDisable,
                                         s.rtsEnabled ? rtsEnable : rtsDisable);
        } catch (const std::exception& e) {
            // The line stays as the device has it, and so do the switches, the lamps and the
            // record. A device that is gone has been reported as hung up, which closes the
            // port and says so; any other refusal is told here.
            const TComFlowControl& flow = m_connection->Device->FlowControl();
            m_settings.dtrEnabled = flow.ControlDTR() == dtrEnable;
            m_settings.rtsEnabled = flow.ControlRTS() == rtsEnable;
            TbDTR->setChecked(s.dtrEnabled);
            TbRTS->setChecked(s.rtsEnabled);
            if (dynamic_cast<const EComPortGone*>(&e) == nullptr) {
                StatusBarMY1->FlashPanelText(0,
                                             QStringLiteral("DTR/RTS change refused: ") +
                                                 QString::fromLocal8Bit(e.what()),
                                             PortClosedMessageMs);
            }
        }
        m_dataRT->ApplySettings(s);
        WakePump();
    }
    RichShow->setFocus();
}

void TMainForm::ShowPortState(bool open) {
    KickStatus();
    const QIcon icon = KorvaneIcon(open ? TIconKind::PortOpen : TIconKind::PortClosed);
    TbPort->setIcon(icon);
    TbPort->setToolTip(open ? QStringLiteral("Close Port") : QStringLiteral("Open Port"));
    N33->setIcon(icon);
    N33->setText(open ? QStringLiteral("Close Port") : QStringLiteral("Open Port"));
    for (QWidget* w : std::initializer_list<QWidget*>{CBoxBaudRate, CBoxDataBits, CBoxStopBits,
                                                      CBoxParityBits, CBoxPort}) {
        w->setEnabled(!open);
    }
    TbDTR->setEnabled(open);
    TbRTS->setEnabled(open);
}

void TMainForm::TogglePort() {
    if (m_dataRT == nullptr || m_connection == nullptr) {
        return;
    }
    if (OpeningPort()) {
        StopOpening();
        return;
    }
    if (m_session->Waiting()) {
        // The port is away and awaited: the button ends the wait, as it would close it.
        m_session->StopWaiting();
        return;
    }
    TComPort& device = *m_connection->Device;
    if (device.Connected()) {
        m_session->Close();
        return;
    }
    const QString port = CBoxPort->currentText().trimmed();
    if (port.isEmpty()) {
        m_prompter.Warning(this, QStringLiteral("Choose a port first."),
                           QStringLiteral("Open Port"));
        return;
    }
    device.SetPort(port.toStdString());
    device.SetBaudRate(TextToBaudRate(CBoxBaudRate->currentText().toStdString()));
    device.Parity().SetBits(TextToParity(CBoxParityBits->currentText().toStdString()));
    device.SetDataBits(TextToDataBits(CBoxDataBits->currentText().toStdString()));
    device.SetStopBits(TextToStopBits(CBoxStopBits->currentText().toStdString()));
    if (m_session->OpenMayWait()) {
        StartOpening();
        return;
    }
    try {
        m_session->Open();
    } catch (const ECom& e) {
        ShowOpenFailure(e);
    }
}

void TMainForm::ShowOpenFailure(const ECom& e) {
    QString text = FromLatin1(e.ErrorText);
    if (!e.Reason.empty()) {
        text += QLatin1Char('\n') + QString::fromStdString(e.Reason);
    }
    m_prompter.Warning(this, text, QStringLiteral("Open Port"));
}

void TMainForm::StartOpening() {
    m_openingStopped = false;
    m_session->BeginOpen();
    // The settings stay as they are until the attempt ends; the button stops it.
    for (QWidget* w : std::initializer_list<QWidget*>{CBoxBaudRate, CBoxDataBits, CBoxStopBits,
                                                      CBoxParityBits, CBoxPort}) {
        w->setEnabled(false);
    }
    TbPort->setToolTip(QStringLiteral("Stop Opening"));
    N33->setText(QStringLiteral("Stop Opening"));
    const QString port = QString::fromStdString(m_connection->Device->Port());
    StatusBarMY1->SetPanelText(0, QStringLiteral("Opening %1 ...").arg(port));
    m_opening = std::thread([this] {
        std::optional<ECom> failure;
        try {
            m_session->OpenDevice();
        } catch (const ECom& e) {
            failure = e;
        } catch (const std::exception& e) {
            failure = ECom(e.what(), 1);
        }
        QMetaObject::invokeMethod(
            this, [this, failure] { FinishOpening(failure); }, Qt::QueuedConnection);
    });
}

void TMainForm::StopOpening() {
    if (!OpeningPort() || m_openingStopped) {
        return;
    }
    m_openingStopped = true;
    m_session->StopOpening();
    StatusBarMY1->SetPanelText(0, QStringLiteral("Stopping the opening of %1 ...")
                                      .arg(QString::fromStdString(m_connection->Device->Port())));
}

void TMainForm::FinishOpening(std::optional<ECom> failure) {
    if (!m_opening.joinable()) {
        return;
    }
    m_opening.join();
    const QString port = QString::fromStdString(m_connection->Device->Port());
    if (!failure && m_openingStopped) {
        // Opened just as the user stopped it: the stop wins, unless the port refuses to
        // close; then it is shown open, as after a failed Close Port.
        try {
            m_connection->ClosePort();
        } catch (const std::exception& e) {
            m_openingStopped = false;
            m_session->Opened();
            StatusBarMY1->FlashPanelText(0, QString::fromLocal8Bit(e.what()), PortClosedMessageMs);
            return;
        }
    }
    if (!failure && !m_openingStopped) {
        m_session->Opened();
        return;
    }
    ShowPortState(false);
    if (m_openingStopped) {
        m_openingStopped = false;
        StatusBarMY1->SetPanelText(0, QStringLiteral("%1 not opened: stopped").arg(port));
        return;
    }
    ShowPortNotice(std::string());
    ShowOpenFailure(*failure);
}

// A port that cannot carry everything a serial line does (raw TCP) says so while it is open.
void TMainForm::ShowPortNotice(const std::string& notice) {
    const QString text = FromLatin1(notice);
    StatusBarMY1->SetPanelText(0, text.isEmpty() ? QStringLiteral("F1 for help") : text);
    StatusBarMY1->Panel(0)->setToolTip(text);
}

void TMainForm::CreateReconnect() {
    TPortSession::Hooks hooks;
    // The receive thread waits with a park count of 2 while the port is closed.
    hooks.opened = [this] {
        m_thread->Unpark();
        m_thread->Unpark();
        m_thread->Unpark();
        ShowPortState(true);
        ShowPortNotice(m_connection->Device->Driver().PortNotice());
        if (ScriptForm != nullptr) {
            ScriptForm->PortOpened();
        }
    };
    hooks.closed = [this] {
        if (ScriptForm != nullptr) {
            ScriptForm->PortClosed();
        }
        ShowPortState(false);
        ShowPortNotice(std::string());
        m_thread->Park();
        m_thread->Park();
    };
    hooks.showStatus = [this](const std::string& text) {
        StatusBarMY1->SetPanelText(0, QString::fromLocal8Bit(text.c_str()));
    };
    hooks.showNote = [this](const std::string& text) { m_dataRT->ShowNote(text); };
    m_session = std::make_unique<TPortSession>(*m_connection, m_clock, TQtTimer::Factory(),
                                               std::move(hooks));
    m_session->SetReconnect(m_options.reconnectAutomatically);
    ReconnectAuto->setChecked(m_options.reconnectAutomatically);
    m_connection->OnLinesChanged = [this] {
        QMetaObject::invokeMethod(
            this, [this] { KickStatus(); }, Qt::QueuedConnection);
    };
    // Told on the receive thread; handled on this one.
    m_connection->OnHangUp = [this] {
        QMetaObject::invokeMethod(
            this, [this] { m_session->HangUp(); }, Qt::QueuedConnection);
    };
    m_connection->OnFailure = [this](const std::string& what) {
        const QString text = QString::fromLocal8Bit(what);
        QMetaObject::invokeMethod(
            this, [this, text] { StatusBarMY1->FlashPanelText(0, text, PortClosedMessageMs); },
            Qt::QueuedConnection);
    };
}

void TMainForm::CreateTap() {
    TTapControl::Hooks hooks;
    hooks.showNote = [this](const std::string& text) { m_dataRT->ShowNote(text); };
    hooks.showStatus = [this](const QString& text) { StatusBarMY1->SetPanelText(0, text); };
    hooks.firstLine = [this] {
        const TComPort& device = *m_connection->Device;
        TTapLine line;
        line.baudRate = device.BaudRate();
        line.parity = device.Parity().Bits();
        line.dataBits = device.DataBits();
        line.stopBits = device.StopBits();
        return line;
    };
    hooks.reconnect = [this] { return m_options.reconnectAutomatically; };
    hooks.changed = [this] {
        KickStatus();
        if (m_modbus != nullptr) {
            m_modbus->SetTap(m_tap->Active() ? std::optional<bool>(m_tap->Line().carriesRequests)
                                             : std::nullopt);
        }
    };
    m_tap = new TTapControl(*m_connection, m_clock, m_prompter, this, std::move(hooks));
    StatusBarMY1->SetLampNeighbour(m_tap->Lamps());
    QMenu* file = menuBar()->findChild<QMenu*>(QStringLiteral("N1"));
    m_tap->AddActions(file, file->findChild<QAction*>(QStringLiteral("N17")));
    ShowHiddenCommands(file, m_options.allCommands);
    // The port drop-down's own menu offers the tap too.
    if (QLineEdit* edit = CBoxPort->lineEdit()) {
        edit->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(edit, &QWidget::customContextMenuRequested, this, [this, edit](const QPoint& at) {
            QMenu* menu = edit->createStandardContextMenu();
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->setObjectName(QStringLiteral("PortContextMenu"));
            if (m_tap->TapAction()->isVisible()) {
                menu->addSeparator();
                menu->addAction(m_tap->TapAction());
                menu->addAction(m_tap->CloseAction());
            }
            menu->popup(edit->mapToGlobal(at));
        });
    }
    if (auto* colors = findChild<TBColorSetForm*>()) {
        colors->SetTapColor(&m_options.tapTextColor, [this] {
            if (m_dataRT != nullptr) {
                m_dataRT->TapTextColor = m_options.tapTextColor;
            }
        });
    }
}

void TMainForm::ApplyPause() {
    if (m_dataRT == nullptr || m_connection == nullptr) {
        return;
    }
    m_connection->Monitoring = MonitorPaused ? 0 : 1;
    m_dataRT->ApplyPause(MonitorPaused);
    TbPause->setChecked(MonitorPaused);
    N37->setChecked(MonitorPaused);
}

void TMainForm::Timer1Timer() {
    if (m_dataRT == nullptr) {
        return;
    }
    m_shownTx = m_connection->TxCount.load();
    StatusBarMY1->SetPanelText(1, QStringLiteral("TX: %1").arg(static_cast<uint32_t>(m_shownTx)));
    StatusBarMY1->SetPanelText(
        2, QStringLiteral("RX: %1").arg(static_cast<uint32_t>(m_connection->RxCount.load())));
    // Records lost to a queue lock held too long (by another copy of the program) are
    // counted, not silently gone.
    StatusBarMY1->Panel(2)->setToolTip(QString::fromStdString(m_connection->DroppedRecordsText()));
    const QString saving = m_viewSaver->StatusText();
    QString last = saving.isEmpty() ? m_capture->StatusText() : saving;
    if (m_modbus != nullptr && RichShow->LineNotes() == m_modbus.get()) {
        last = last.isEmpty() ? m_modbus->CountText()
                              : last + QStringLiteral("   ") + m_modbus->CountText();
    }
    StatusBarMY1->SetPanelText(4, last);
    // The whole text where a narrow window cuts it at the lamps.
    StatusBarMY1->Panel(4)->setToolTip(last);
    m_dataRT->FollowCaret();
    const QString mode = m_dataRT->ActiveHex ? QStringLiteral("Hex") : QStringLiteral("Asc");
    if (SendForm != nullptr && m_dataRT->ActiveView == SendForm->RichSend) {
        SendForm->setWindowTitle(QStringLiteral("Send [%1: Ln:%2 Col:%3 Sel:%4]")
                                     .arg(mode)
                                     .arg(m_dataRT->CaretLine)
                                     .arg(m_dataRT->CaretColumn)
                                     .arg(m_dataRT->SelectionSize));
    } else {
        StatusBarMY1->SetPanelText(3, QStringLiteral("%1: Ln:%2  Col:%3  Sel:%4")
                                          .arg(mode)
                                          .arg(m_dataRT->CaretLine)
                                          .arg(m_dataRT->CaretColumn)
                                          .arg(m_dataRT->SelectionSize));
    }
    const TComPort& device = *m_connection->Device;
    const bool open = device.Connected();
    StatusBarMY1->SetLamp(TStatusBarMY::LampDTR,
                          open && device.FlowControl().ControlDTR() == dtrEnable);
    StatusBarMY1->SetLamp(TStatusBarMY::LampRTS,
                          open && device.FlowControl().ControlRTS() == rtsEnable);
    StatusBarMY1->SetLamp(TStatusBarMY::LampDSR, open && m_connection->DsrOn.load() != 0);
    StatusBarMY1->SetLamp(TStatusBarMY::LampCTS, open && m_connection->CtsOn.load() != 0);
    StatusBarMY1->SetLamp(TStatusBarMY::LampRLSD, open && m_connection->RlsdOn.load() != 0);
    m_tap->Tick();
    if (!m_dataRT->CycleTimer().Enabled()) {
        m_settings.cycleSendEnabled = false;
        if (SendForm != nullptr) {
            SendForm->ToolButton2->setChecked(false);
        }
        N44->setChecked(false);
    }
    if (!m_dataRT->TriggersOn) {
        m_settings.timingTriggerEnabled = false;
        m_settings.receiveTriggerEnabled = false;
        if (SendForm != nullptr) {
            SendForm->ToolButton3->setChecked(false);
        }
        N45->setChecked(false);
    }
    // Nothing shown changed since the last refresh, and nothing runs that changes it by
    // itself: the timer sleeps until a record, a line change or the user asks again.
    int lamps = 0;
    for (int lamp = 0; lamp < TStatusBarMY::LampCount; ++lamp) {
        lamps = lamps * 2 + (StatusBarMY1->LampLit(static_cast<TStatusBarMY::Lamp>(lamp)) ? 1 : 0);
    }
    const QString seen = StatusBarMY1->Panel(1)->text() + StatusBarMY1->Panel(2)->text() +
                         StatusBarMY1->Panel(2)->toolTip() + StatusBarMY1->Panel(3)->text() + last +
                         (SendForm != nullptr ? SendForm->windowTitle() : QString()) +
                         QString::number(lamps) + m_tap->Lamps()->toolTip();
    if (seen == m_statusSeen && !m_viewSaver->Busy() && !m_dataRT->CycleTimer().Enabled()) {
        Timer1->stop();
    }
    m_statusSeen = seen;
}

void TMainForm::StatusBarDoubleClick() {
    if (m_dataRT == nullptr) {
        return;
    }
    m_connection->RxCount = 0;
    m_connection->TxCount = 0;
    if (m_modbus != nullptr) {
        m_modbus->Reset();
    }
}

void TMainForm::KickStatus() {
    if (Timer1 != nullptr && !Timer1->isActive()) {
        Timer1->start();
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::FocusIn:
    case QEvent::WindowActivate:
        KickStatus();
        break;
    case QEvent::MouseMove:
        if (static_cast<QMouseEvent*>(event)->buttons() != Qt::NoButton) {
            KickStatus();
        }
        break;
    case QEvent::Resize:
        if (watched == this) {
            KickStatus();
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::WakePump() {
    KickStatus();
    if (m_dataRT != nullptr) {
        if (auto* pump = dynamic_cast<TQtTimer*>(&m_dataRT->PumpTimer())) {
            pump->Wake();
        }
    }
}

void TMainForm::SetActiveView(TextView* view) {
    if (m_dataRT != nullptr && view != nullptr) {
        m_dataRT->ActiveView = view;
    }
}

void TMainForm::ToggleSendWindow() {
    m_settings.sendWindowVisible = !m_settings.sendWindowVisible;
    RefreshSettings();
    if (SendForm != nullptr) {
        SendForm->setVisible(m_settings.sendWindowVisible);
    }
}

void TMainForm::ToggleFindWindow() {
    m_settings.findWindowVisible = !m_settings.findWindowVisible;
    RefreshSettings();
    if (FindForm != nullptr) {
        FindForm->setVisible(m_settings.findWindowVisible);
    }
}

void TMainForm::OpenUserGuide() {
    const QString path = UserGuidePath();
    if (path.isEmpty()) {
        m_prompter.Warning(this,
                           QStringLiteral("The user guide is not installed; it belongs at %1.")
                               .arg(UserGuideCandidates().constFirst()),
                           QStringLiteral("Help"));
        return;
    }
    if (!m_prompter.OpenUrl(QUrl::fromLocalFile(path).toString())) {
        m_prompter.Message(
            this,
            QStringLiteral("No web browser could be started. The user guide is the file\n%1")
                .arg(path),
            QStringLiteral("Help"));
    }
}

void TMainForm::SendCtrlKey(int key) {
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr) {
        return;
    }
    QKeyEvent ctrlDown(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier);
    QKeyEvent keyDown(QEvent::KeyPress, key, Qt::ControlModifier);
    QKeyEvent keyUp(QEvent::KeyRelease, key, Qt::ControlModifier);
    QKeyEvent ctrlUp(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &ctrlDown);
    QCoreApplication::sendEvent(target, &keyDown);
    QCoreApplication::sendEvent(target, &keyUp);
    QCoreApplication::sendEvent(target, &ctrlUp);
}

void TMainForm::PlaceWindow(TPlacement placement) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const int menuHeight = menuBar()->isVisible() ? menuBar()->height() : 0;
    const QMargins frame = FrameMargins(this);
    // The whole frame takes its part of the screen's free area, so the status bar and the
    // borders stay on the screen; Center keeps the designed client size and place.
    QRect outer;
    switch (placement) {
    case TPlacement::Center:
        outer = QRect(250, 100, 600 + frame.left() + frame.right(),
                      400 + menuHeight + frame.top() + frame.bottom());
        break;
    case TPlacement::Top:
        outer = QRect(area.left(), area.top(), area.width(), area.height() / 2);
        break;
    case TPlacement::Bottom:
        outer = QRect(area.left(), area.top() + area.height() / 2, area.width(),
                      area.height() - area.height() / 2);
        break;
    case TPlacement::Left:
        outer = QRect(area.left(), area.top(), area.width() / 2, area.height());
        break;
    case TPlacement::Right:
        outer = QRect(area.left() + area.width() / 2, area.top(), area.width() - area.width() / 2,
                      area.height());
        break;
    }
    setWindowState(Qt::WindowNoState);
    setGeometry(
        ClientForFrame(placement == TPlacement::Center ? outer : KeptInside(outer, area), frame));
}

void TMainForm::SaveFile(RichView* editor) {
    if (editor == nullptr) {
        return;
    }
    const QString chosen = m_prompter.SaveFileName(this, QString::fromStdString(CurrentStamp()),
                                                   QStringLiteral("rtf(*.rtf)|*.rtf|all|*.*"));
    if (chosen.isEmpty()) {
        return;
    }
    // The record holds at most 255 characters of a name: the question must be about the
    // file that is then written, not the longer name that was typed.
    const std::string name =
        (chosen + QStringLiteral(".rtf")).toStdString().substr(0, SettingsRecord::MaxPathLength);
    if (PathExists(name) &&
        !m_prompter.Question(this,
                             QStringLiteral("The file already exists.Do you want to replace it."),
                             QStringLiteral("Save"))) {
        return;
    }
    m_settings.lastFileName = name;
    m_viewSaver->Save(
        *editor, [name](const TByteSource& rtf) { WriteFileAtomically(name, rtf); },
        [this](const std::string& error, int, bool) {
            if (!error.empty()) {
                m_prompter.Warning(this, QString::fromLocal8Bit(error), QStringLiteral("Save"));
            }
        });
}

void TMainForm::OpenFile(RichView* editor) {
    if (editor == nullptr) {
        return;
    }
    const QString chosen = m_prompter.OpenFileName(
        this, QString::fromStdString(m_settings.lastFileName), QStringLiteral("All|*.*"));
    if (chosen.isEmpty()) {
        return;
    }
    const std::string name = chosen.toStdString().substr(0, SettingsRecord::MaxPathLength);
    if (!PathExists(name)) {
        m_prompter.Warning(this, QStringLiteral("File does not exist."), QStringLiteral("Open"));
        return;
    }
    m_settings.lastFileName = name;
    try {
        LoadFileInto(editor, this, name);
    } catch (const std::exception& e) {
        // Reported here rather than thrown: an exception must not unwind through the
        // menu's own code, which does not expect one.
        TKorvaneApplication::ReportError(e.what());
    }
}

void TMainForm::RichShowChange() {
    if (m_inChange) {
        return;
    }
    m_inChange = true;
    const int lines = RichShow->WordWrap() ? RichShow->VisualLineCount() : RichShow->LineCount();
    const int threshold = m_settings.autoLineThreshold;
    bool emptied = false;
    if (!m_autoSaving && AutoSaveOn && lines >= threshold &&
        QFileInfo(QString::fromStdString(m_settings.autoSavePath)).isDir()) {
        const std::string folder = m_settings.autoSavePath;
        const std::string stamp = CurrentStamp();
        const uint64_t dropped = RichShow->Store().FrontLinesDropped();
        const uint64_t clears = RichShow->Store().Clears();
        m_autoSaving = true;
        // Saves within one second share the time stamp: each takes a numbered name of its
        // own, so no earlier auto-saved file is ever replaced.
        m_viewSaver->Save(
            *RichShow,
            [folder, stamp](const TByteSource& rtf) {
                WriteNewFileAtomically(folder, stamp, ".rtf", rtf);
            },
            [this, dropped, clears](const std::string& error, int savedLines, bool atOnce) {
                m_autoSaving = false;
                if (!error.empty()) {
                    // Reported once per streak of failures; the view keeps its text.
                    if (!m_autoSaveFailing) {
                        m_autoSaveFailing = true;
                        m_prompter.Warning(this, QString::fromLocal8Bit(error),
                                           QStringLiteral("AutoSave"));
                    }
                    return;
                }
                m_autoSaveFailing = false;
                if (atOnce) {
                    RichShow->Clear();
                    return;
                }
                // Written in the background: the saved lines go, those that arrived
                // meanwhile stay for the next file.
                const TLineStore& store = RichShow->Store();
                const int64_t gone = static_cast<int64_t>(store.FrontLinesDropped() - dropped);
                if (store.Clears() == clears && savedLines - 1 > gone) {
                    RichShow->DeleteFirstLines(static_cast<int>(savedLines - 1 - gone));
                }
            });
        emptied = !m_autoSaving && RichShow->Store().Clears() != clears;
    }
    // While an auto save is written in the background, the lines that arrive after its
    // snapshot belong to the next file: auto clear must not empty the view under them.
    if (!emptied && !m_autoSaving && AutoClearOn && lines > threshold) {
        RichShow->Clear();
        emptied = true;
    }
    // A loaded file was fitted to the limits before: with word wrap its rows may pass the
    // cap, which the traffic that follows trims as usual.
    if (!emptied && !m_loadingFile) {
        TrimTrafficView(*RichShow, TrafficLimits());
    }
    m_inChange = false;
}

void TMainForm::StoreWindowChoices(SettingsRecord& record) const {
    auto index = [](const QComboBox* c) {
        return static_cast<uint8_t>(c->currentIndex() < 0 ? 255 : c->currentIndex());
    };
    record.portIndex = index(CBoxPort);
    record.baudRateIndex = index(CBoxBaudRate);
    record.parityIndex = index(CBoxParityBits);
    record.dataBitsIndex = index(CBoxDataBits);
    record.stopBitsIndex = index(CBoxStopBits);
    const QVariant mark = JvOfficeColorButton1->property("selectedColor");
    if (mark.isValid()) {
        record.markColor = mark.value<uint32_t>();
    }
}

void TMainForm::SaveSettings() {
    StoreWindowChoices(m_settings);
    hide();
    SaveSettingsAtShutdown(m_settings);
}

std::vector<std::pair<std::string, std::string>> TMainForm::ClosingFiles() {
    std::vector<std::pair<std::string, std::string>> files;
    if (m_closed) {
        return files; // the close has written them
    }
    SettingsRecord record = m_settings;
    StoreWindowChoices(record);
    record.ClearShutdownReserved();
    static const std::string program = ProgramFilePath().substr(0, SettingsRecord::MaxPathLength);
    record.programPath = program;
    const SettingsRecord::Image image = record.ToBytes();
    files.emplace_back(DataFilePath(SettingsFileName),
                       std::string(reinterpret_cast<const char*>(image.data()), image.size()));
    try {
        const QByteArray layout = DockLayoutBytes(
            QString::fromStdString(DataFilePath(LayoutFileName)), this, LayoutDocks(), &m_options);
        files.emplace_back(DataFilePath(LayoutFileName), layout.toStdString());
    } catch (...) {
        // Without the layout, the settings are still kept.
    }
    if (SendForm != nullptr) {
        files.emplace_back(DataFilePath(SendFileName),
                           WriteRtf(SendForm->RichSend->ToStyledText()));
    }
    return files;
}

QList<QDockWidget*> TMainForm::LayoutDocks() const {
    QList<QDockWidget*> docks;
    if (SendForm != nullptr) {
        docks << SendForm;
    }
    if (FindForm != nullptr) {
        docks << FindForm;
    }
    if (PlotForm != nullptr) {
        docks << PlotForm;
    }
    return docks;
}

void TMainForm::SaveSendText() {
    if (SendForm == nullptr) {
        return;
    }
    EnsureDataFolder();
    WriteFileAtomically(DataFilePath(SendFileName), WriteRtf(SendForm->RichSend->ToStyledText()));
}

void TMainForm::FormClose() {
    // A minimised window still saves: only the layout comes from its restored geometry.
    try {
        EnsureDataFolder();
        SaveDockLayout(QString::fromStdString(DataFilePath(LayoutFileName)), this, LayoutDocks(),
                       &m_options);
    } catch (...) {
        // The layout of the next start is the last one saved.
    }
    QStringList failures;
    try {
        SaveSettings();
    } catch (const std::exception& e) {
        failures << QString::fromLocal8Bit(e.what());
    }
    try {
        SaveSendText();
    } catch (const std::exception& e) {
        failures << QString::fromLocal8Bit(e.what());
    }
    if (!failures.isEmpty()) {
        m_prompter.Warning(nullptr, failures.join(QLatin1Char('\n')), QStringLiteral("Korvane"));
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!m_closed) {
        m_closed = true;
        FormClose();
        StopEngines();
    }
    event->accept();
}

void TMainForm::StopEngines() {
    // An open under way ends first: its thread uses the connection.
    if (m_opening.joinable()) {
        m_session->StopOpening();
        m_opening.join();
        m_openingStopped = false;
    }
    // The pump first (it uses the connection), then the thread, which closes the port to
    // end a pending wait before it joins; the port last. A tap goes before the connection
    // it merges into.
    if (m_dataRT != nullptr) {
        m_dataRT->PumpTimer().SetEnabled(false);
        m_dataRT->CycleTimer().SetEnabled(false);
    }
    if (m_tap != nullptr) {
        m_tap->Close();
    }
    if (m_thread != nullptr) {
        m_thread->Stop();
    }
    if (m_connection != nullptr) {
        try {
            m_connection->ClosePort();
        } catch (...) {
            // Nothing more can be done for a port that fails to close at exit.
        }
    }
}

void TMainForm::BuildReceivedCheck(QMenu* view) {
    // Shown with All Commands. The computation is a choice of its own: picking one must not
    // append a checksum to the send window's line, as its checksum button does.
    CheckReceived2 = MenuItem(view, "CheckReceived2", QStringLiteral("Check Received Checksum"),
                              QKeySequence(), false);
    CheckReceived1 = PopupMenu2->addAction(QStringLiteral("Check Received Checksum"));
    CheckReceived1->setObjectName(QStringLiteral("CheckReceived1"));
    MarkHiddenCommand(CheckReceived1);
    for (QAction* a : {CheckReceived1, CheckReceived2}) {
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this](bool on) {
            m_options.checkReceivedChecksum = on;
            ApplyReceivedCheck();
        });
    }
    CheckReceivedKind = new QMenu(QStringLiteral("Checksum to Check"), this);
    CheckReceivedKind->setObjectName(QStringLiteral("CheckReceivedKindMenu"));
    CheckReceivedKind->menuAction()->setObjectName(QStringLiteral("CheckReceivedKind"));
    auto* kinds = new QActionGroup(CheckReceivedKind);
    for (const TChecksumChoice& c : ChecksumChoices()) {
        const QString name = QString::fromLatin1(c.name);
        QAction* a = kinds->addAction(name);
        a->setObjectName(QStringLiteral("CheckKind") + name);
        a->setCheckable(true);
        CheckReceivedKind->addAction(a);
        CheckReceivedKinds << a;
        // Choosing what to check is asking for the check.
        connect(a, &QAction::triggered, this, [this, name] {
            m_options.receivedChecksum = name;
            m_options.checkReceivedChecksum = true;
            ApplyReceivedCheck();
        });
    }
    view->addMenu(CheckReceivedKind);
    PopupMenu2->addMenu(CheckReceivedKind);
    MarkHiddenCommand(CheckReceivedKind->menuAction());
}

void TMainForm::ApplyReceivedCheck() {
    std::optional<TChecksumChoice> kind =
        ChecksumChoiceNamed(m_options.receivedChecksum.toStdString());
    if (!kind) {
        // Not chosen yet: the send window's choice, as before the check had its own.
        for (const TChecksumChoice& c : ChecksumChoices()) {
            if (c.kind == m_settings.checksumKind) {
                kind = c;
            }
        }
        if (!kind) {
            kind = ChecksumChoices().front();
        }
        m_options.receivedChecksum = QString::fromLatin1(kind->name);
    }
    for (QAction* a : CheckReceivedKinds) {
        a->setChecked(a->text() == QLatin1String(kind->name));
    }
    const bool on = m_options.checkReceivedChecksum;
    CheckReceived1->setChecked(on);
    CheckReceived2->setChecked(on);
    RichShow->SetReceivedCheck(on ? kind : std::nullopt);
}

void TMainForm::BuildDecode(QMenu* view) {
    // Shown with All Commands, like the received check: the shipped menu stays as it is.
    DecodeMenu = view->addMenu(QStringLiteral("Decode"));
    DecodeMenu->setObjectName(QStringLiteral("DecodeMenu"));
    DecodeMenu->menuAction()->setObjectName(QStringLiteral("Decode"));
    MarkHiddenCommand(DecodeMenu->menuAction());
    auto* protocols = new QActionGroup(DecodeMenu);
    DecodeNone = protocols->addAction(QStringLiteral("None"));
    DecodeNone->setObjectName(QStringLiteral("DecodeNone"));
    DecodeModbus = protocols->addAction(QStringLiteral("Modbus RTU"));
    DecodeModbus->setObjectName(QStringLiteral("DecodeModbus"));
    for (QAction* a : {DecodeNone, DecodeModbus}) {
        a->setCheckable(true);
        DecodeMenu->addAction(a);
        connect(a, &QAction::triggered, this, [this, a] {
            m_options.decode =
                a == DecodeModbus ? QStringLiteral("modbus") : QStringLiteral("none");
            ApplyDecode();
        });
    }
    DecodeMenu->addSeparator();
    static const char* const kCaptions[] = {
        "Registers Unsigned 16-bit",
        "Registers Signed 16-bit",
        "Registers Hex",
        "Float 32-bit, High Word First",
        "Float 32-bit, Low Word First",
        "Signed 32-bit, High Word First",
        "Signed 32-bit, Low Word First",
        "Unsigned 32-bit, High Word First",
        "Unsigned 32-bit, Low Word First",
    };
    auto* formats = new QActionGroup(DecodeMenu);
    for (int i = 0; i < static_cast<int>(std::size(kCaptions)); ++i) {
        const auto format = static_cast<TModbusValueFormat>(i);
        const std::string_view name = ModbusValueFormatName(format);
        QAction* a = formats->addAction(QString::fromLatin1(kCaptions[i]));
        a->setObjectName(QStringLiteral("ModbusValues_") +
                         QString::fromLatin1(name.data(), qsizetype(name.size())));
        a->setCheckable(true);
        DecodeMenu->addAction(a);
        ModbusValueActions << a;
        connect(a, &QAction::triggered, this, [this, name] {
            m_options.modbusValues = QString::fromLatin1(name.data(), qsizetype(name.size()));
            ApplyDecode();
        });
    }
}

void TMainForm::ApplyDecode() {
    const bool on = m_options.decode == QStringLiteral("modbus");
    const TModbusValueFormat format = ModbusValueFormatNamed(m_options.modbusValues.toStdString())
                                          .value_or(TModbusValueFormat::U16);
    DecodeModbus->setChecked(on);
    DecodeNone->setChecked(!on);
    // Decoded by frames, a received burst ends with its frame's last byte (with a record
    // gap set) instead of after the silence behind it.
    for (TOruScomm* c : {m_connection.get(), m_tap != nullptr ? m_tap->Connection() : nullptr}) {
        if (c != nullptr) {
            c->SetFrameEnd(on ? &ModbusRtuWholeFrame : nullptr);
        }
    }
    if (PlotForm != nullptr) {
        PlotForm->SetValueFormat(format);
    }
    for (int i = 0; i < ModbusValueActions.size(); ++i) {
        ModbusValueActions[i]->setChecked(i == static_cast<int>(format));
    }
    if (on && m_modbus == nullptr) {
        m_modbus = std::make_unique<TModbusNotes>(*RichShow);
        if (m_tap != nullptr && m_tap->Active()) {
            m_modbus->SetTap(m_tap->Line().carriesRequests);
        }
    }
    if (m_modbus == nullptr) {
        return;
    }
    if (on && RichShow->LineNotes() != m_modbus.get()) {
        // Counts and pairing start with the switch; what waited from before is dropped.
        m_modbus->Reset();
    }
    m_modbus->SetFormat(format);
    RichShow->SetLineNotes(on ? m_modbus.get() : nullptr);
    if (!on && m_dataRT != nullptr) {
        StatusBarMY1->SetPanelText(4, m_capture->StatusText());
    }
}

void TMainForm::ShowScripts() {
    if (ScriptForm == nullptr) {
        TScriptWindowHost host;
        host.send = [this](std::string_view bytes) {
            m_connection->SendData(m_connection->HexSend != 0 ? BytesToHex(bytes, " ")
                                                              : std::string(bytes));
        };
        host.setDtr = [this](bool on) {
            m_connection->Device->FlowControl().SetControlDTR(on ? dtrEnable : dtrDisable);
        };
        host.setRts = [this](bool on) {
            m_connection->Device->FlowControl().SetControlRTS(on ? rtsEnable : rtsDisable);
        };
        host.note = [this](const std::string& text) { m_dataRT->ShowNote(text); };
        host.portOpen = [this] { return m_connection->Device->Connected(); };
        ScriptForm =
            new TScriptForm(this, m_prompter, m_clock, TQtTimer::Factory(), std::move(host));
        // The script chosen last time is offered, not started.
        ScriptForm->SetPath(m_options.scriptFile);
        ScriptForm->OnPathChosen = [this](const QString& path) { m_options.scriptFile = path; };
        ScriptForm->OnStateChanged = [this] {
            const QString text = ScriptForm->StatusText();
            if (!text.isEmpty()) {
                StatusBarMY1->SetPanelText(0, text);
            }
        };
    }
    ScriptForm->show();
    ScriptForm->raise();
    ScriptForm->activateWindow();
}
