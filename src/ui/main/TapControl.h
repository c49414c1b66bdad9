#pragma once
// File > "Tap a Second Port..." and "Close Tap": a second port that the window only
// listens to (a second adapter on the other wire of a line), merged into the traffic view
// in the order the bursts of both ports began (TTrafficMerge). It has the first port's
// hang-up and reconnect handling (TPortSession) and a small "B" lamp group in the status
// bar; nothing is ever sent to it.

#include "platform/Platform.h"
#include "serial/ComPort.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QWidget;
class TOruComThread;
class TOruScomm;
class TPortSession;
class TTrafficMerge;
class TUiPrompter;

// The tapped port and its line.
struct TTapLine {
    std::string port;
    TBaudRate baudRate = br9600;
    TParityBits parity = prNone;
    TDataBits dataBits = dbEight;
    TStopBits stopBits = sbOneStopBit;
    // For the Modbus decoder: the tapped port hears the master's requests (normally the
    // first port does and the tapped port hears the replies).
    bool carriesRequests = false;
};

class TTapControl : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // A grey line among the traffic, after what was queued before it.
        std::function<void(const std::string&)> showNote;
        // The status bar's first panel.
        std::function<void(const QString&)> showStatus;
        // The first port's line, the dialog's defaults.
        std::function<TTapLine()> firstLine;
        // Reconnect Automatically, as for the first port.
        std::function<bool()> reconnect;
        // The tap opened or closed.
        std::function<void()> changed;
    };
    TTapControl(TOruScomm& first, Clock& clock, TUiPrompter& prompter, QWidget* owner, Hooks hooks);
    ~TTapControl() override;

    // "Tap a Second Port..." and "Close Tap", before `before` in the menu, hidden without
    // All Commands.
    void AddActions(QMenu* menu, QAction* before);
    QAction* TapAction() const { return m_tapAction; }
    QAction* CloseAction() const { return m_closeAction; }
    // The "B" lamp group, for the status bar; hidden while no port is tapped.
    QFrame* Lamps() const { return m_lamps; }

    // The dialog: the port and its line (the first port's by default), then Open.
    void Choose();
    // Opens the tap (closing one that is open); false after a warning.
    bool Open(const TTapLine& line);
    // Closes the tapped port; its records still held reach the view.
    void Close();
    bool Active() const { return m_connection != nullptr; }
    // The line of the tap that is open.
    const TTapLine& Line() const { return m_line; }
    // The tapped connection while there is one.
    TOruScomm* Connection() const { return m_connection.get(); }
    TPortSession* Session() const { return m_session.get(); }
    // With the status bar's timer: the lamps and the RX count of the tapped port.
    void Tick();
    void SetReconnect(bool on);

private:
    void ShowState();

    TOruScomm& m_first;
    Clock& m_clock;
    TUiPrompter& m_prompter;
    QWidget* m_owner;
    Hooks m_hooks;
    TTapLine m_line;
    std::unique_ptr<TOruScomm> m_connection;
    std::unique_ptr<TTrafficMerge> m_merge;
    std::unique_ptr<TOruComThread> m_thread;
    std::unique_ptr<TPortSession> m_session;
    QAction* m_tapAction = nullptr;
    QAction* m_closeAction = nullptr;
    QFrame* m_lamps = nullptr;
    QLabel* m_lampOpen = nullptr;
    QLabel* m_lampDsr = nullptr;
    QLabel* m_lampCts = nullptr;
    QLabel* m_lampRlsd = nullptr;
};
