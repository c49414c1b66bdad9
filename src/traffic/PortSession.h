#pragma once
// The life of the open port, the same for the window and korvane-cli: open with the
// driver's reason for a failure, close, the hang-up of a device that went away, and the
// wait for it to come back ("Reconnect Automatically"), with the texts both front ends
// show. The front end tells it what to do with its receive thread and where texts go;
// time passes through the Clock and Timer seams, so tests drive it by hand.

#include "platform/Platform.h"
#include "traffic/Timer.h"

#include <functional>
#include <memory>
#include <string>

class TOruScomm;

class TPortSession {
public:
    struct Hooks {
        // After the device opened: let the receive thread run, show the port as open.
        std::function<void()> opened;
        // After the device closed: hold the receive thread, show the port as closed.
        std::function<void()> closed;
        // A short state line ("<port> disconnected hh:mm:ss"): the window's status bar,
        // the CLI's standard error.
        std::function<void(const std::string&)> showStatus;
        // A grey line among the traffic.
        std::function<void(const std::string&)> showNote;
    };

    // A waiting session looks for the port this often: two wakes a second, and a returning
    // device is open again well within a second.
    static constexpr uint32_t CheckIntervalMs = 500;
    // A connection that goes away sooner than this after it opened was dropped at once (a
    // network server that takes the connection and ends it): each such drop in a row, and
    // each reopen that fails, doubles the wait before the next look, from CheckIntervalMs
    // up to LongestWaitMs. The wait shows in the texts as ", next try in N s".
    static constexpr uint32_t SteadyAfterMs = 10000;
    static constexpr uint32_t LongestWaitMs = 30000;

    TPortSession(TOruScomm& connection, Clock& clock, const TimerFactory& timers, Hooks hooks);

    // Opens the device with the settings it has: one attempt, within the driver's own time
    // limit. Raises ECom with the driver's reason when it fails; the device is closed then.
    void Open();

    // The same open in halves, for a front end that keeps its own thread free while a port
    // that may wait (a network server) is opened: BeginOpen, then OpenDevice on a thread of
    // its own, then Opened back on the owner's thread once it succeeded. StopOpening, on
    // the owner's thread, makes an OpenDevice under way fail soon.
    bool OpenMayWait() const;
    void BeginOpen();
    void OpenDevice();
    void Opened();
    void StopOpening();
    // Closes the device when open (device errors pass through) and ends a wait.
    void Close();

    // "Reconnect Automatically"; turning it off ends a wait.
    void SetReconnect(bool on);
    bool Reconnect() const { return m_reconnect; }

    // On the owner's thread, after the connection told of a hang-up: closes the port and
    // says so; with reconnect on, starts waiting for the port. Nothing happens when the
    // port was closed or opened again in the meantime. True when it closed the port.
    bool HangUp();

    bool Waiting() const { return m_timer->Enabled(); }
    // How long the wait holds off before its next look.
    uint32_t WaitBeforeLookMs() const;
    // The port the wait is for.
    const std::string& Port() const { return m_port; }
    void StopWaiting();
    // One look for the port (the timer's handler). The port's "reconnected" line (the note)
    // comes before the front end lets the receive thread run, so no byte of the new
    // connection shows above it.
    void Check();

private:
    void Strike();
    static std::string NextTry(uint32_t wait);
    // The state line and the grey line.
    void Say(const std::string& text);

    TOruScomm& m_connection;
    Clock& m_clock;
    Hooks m_hooks;
    std::unique_ptr<Timer> m_timer;
    bool m_reconnect = true;
    std::string m_port;
    uint32_t m_openedAt = 0;   // on the clock
    uint32_t m_quickDrops = 0; // drops and failed reopens in a row, the first drop included
};
