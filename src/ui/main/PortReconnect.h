#pragma once
// What the window does when the device of the open port goes away: it closes the port as
// the port button would, says so in the status bar, and, with "Reconnect Automatically",
// watches for a port of the same name to come back (the device node, or the link that
// registers a virtual port) and reopens it with the same line settings and DTR/RTS.

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <string>

class Clock;
class TOruScomm;

class TPortReconnect : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // Closes the port as "Close Port" does: device, tool bar, menu, receive thread.
        std::function<void()> closePort;
        // Opens the device again with the settings it has and does what a successful open
        // by the port button does; false when it did not open.
        std::function<bool()> reopenPort;
        // The status bar's first panel.
        std::function<void(const QString&)> showStatus;
        // A grey line in the traffic view.
        std::function<void(const std::string&)> showNote;
    };

    // A waiting watch looks for the port this often: two wakes a second, and a returning
    // device is open again well within a second.
    static constexpr int CheckIntervalMs = 500;

    TPortReconnect(TOruScomm& connection, Clock& clock, Hooks hooks, QObject* parent = nullptr);

    // "Reconnect Automatically"; turning it off ends a wait.
    void SetEnabled(bool on);
    bool Enabled() const { return m_enabled; }

    // On the user-interface thread, after the connection told of a hang-up. Nothing happens
    // when the port was closed or opened again in the meantime.
    void HangUp();

    bool Waiting() const { return m_timer.isActive(); }
    // The port the wait is for.
    const std::string& Port() const { return m_port; }
    void StopWaiting();
    // One look for the port (the timer's handler).
    void Check();

private:
    TOruScomm& m_connection;
    Clock& m_clock;
    Hooks m_hooks;
    bool m_enabled = true;
    std::string m_port;
    QTimer m_timer;
};
