#pragma once
// korvane-cli's side of the port's life, which the window shares (TPortSession): the
// receive thread runs while the port is open, a hang-up closes the port and, with
// reconnect on, the loop's timer looks for the port until it is back and opens it again
// with the same settings. What the session says goes among the traffic and to standard
// error; a port that is gone for good ends the program.

#include "serial/OruScomm.h"
#include "traffic/PortSession.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TCliLoop;
class TDataRT;

class TCliSession {
public:
    struct Output {
        // Shows what was received up to now, so that a note follows the traffic before it.
        std::function<void()> drain;
        // A grey line among the traffic ("--- <port> disconnected hh:mm:ss").
        std::function<void(const std::string&)> note;
        // A line on standard error.
        std::function<void(const std::string&)> status;
        // The port closed after it went away (false), or opened again (true).
        std::function<void(bool open)> portChanged;
        // A failure the receive thread or the driver told of; on `status` when not set.
        std::function<void(const std::string&)> failure;
    };

    // The receive thread is created parked; the hang-up wakes the loop. notesSeen: the
    // traffic goes where the user looks (a terminal), so the state line is not repeated on
    // standard error while the notes carry it.
    TCliSession(TOruScomm& connection, TCliLoop& loop, bool reconnect, bool notesSeen);
    ~TCliSession();
    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    // A note the first open left (bytes kept from before it) is shown now.
    void SetOutput(Output output);
    // A line the engine could not send while the port is away is said once per absence.
    void Attach(TDataRT& engine);

    // The first open: one attempt; raises ECom with the driver's reason. dropStale: what
    // waited in the port before belongs to no one here and is thrown away; else it is kept
    // as a record of its own, apart from the live bytes, under a note that says so. A
    // reopen after a return keeps what the device sends at once. stop: asked on this
    // thread whenever the loop wakes while a port that may wait (a network server) is being
    // opened; true ends the attempt at once and the open fails.
    void Open(bool dropStale, const std::function<bool()>& stop = nullptr);
    // After every wake of the loop: failures the receive thread or the driver told of are
    // said (standard error); a hang-up the receive thread told of closes the port and starts
    // the wait. False once the port is gone for good (reconnect off, or a device that
    // refused to close).
    bool Watch();
    bool Waiting() const { return m_session.Waiting(); }
    // Closes the port so that a pending read returns, and ends the receive thread; failures
    // told until then are said.
    void Stop();

private:
    void KeepStale();

    // Told on the threads that met them, said on the loop's. Shared with the handler: a
    // thread of the driver may tell one after the session has gone, and then nobody is
    // woken.
    struct TFailures {
        std::mutex lock;
        std::vector<std::string> texts;
        TCliLoop* loop = nullptr;
    };
    static TOruScomm& Hooked(TOruScomm& connection, TCliLoop& loop,
                             const std::shared_ptr<TFailures>& failures);
    void SayFailures();

    std::shared_ptr<TFailures> m_failures = std::make_shared<TFailures>();
    TOruScomm& m_connection;
    TCliLoop& m_loop;
    TOruComThread m_receiver;
    TPortSession m_session;
    Output m_output;
    bool m_notesSeen;
    bool m_dropStale = false;
    bool m_keepStale = false;
    std::string m_staleNote;
    bool m_closedSaid = false;
};
