#include "cli/CliSession.h"

#include "cli/CliLoop.h"
#include "traffic/DataRT.h"

#include <atomic>
#include <exception>
#include <thread>

// The handlers are in place before the receive thread exists.
TOruScomm& TCliSession::Hooked(TOruScomm& connection, TCliLoop& loop,
                               const std::shared_ptr<TFailures>& failures) {
    connection.OnHangUp = [&loop] { loop.Wake(); };
    failures->loop = &loop;
    connection.OnFailure = [failures](const std::string& what) {
        std::lock_guard<std::mutex> guard(failures->lock);
        failures->texts.push_back(what);
        if (failures->loop != nullptr) {
            failures->loop->Wake();
        }
    };
    return connection;
}

TCliSession::TCliSession(TOruScomm& connection, TCliLoop& loop, bool reconnect, bool notesSeen)
    : m_connection(Hooked(connection, loop, m_failures)), m_loop(loop), m_receiver(connection),
      m_session(connection, SystemClock::Instance(), loop.Factory(),
                TPortSession::Hooks{
                    .opened =
                        [this] {
                            if (m_dropStale) {
                                m_dropStale = false;
                                m_connection.Device->Driver().PurgeComm(ComPurgeRxClear);
                            }
                            if (m_keepStale) {
                                m_keepStale = false;
                                KeepStale();
                            }
                            m_closedSaid = false;
                            m_receiver.Unpark();
                            if (m_output.portChanged) {
                                m_output.portChanged(true);
                            }
                        },
                    .closed =
                        [this] {
                            m_receiver.Park();
                            if (m_output.portChanged) {
                                m_output.portChanged(false);
                            }
                        },
                    .showStatus =
                        [this](const std::string& text) {
                            if ((!m_session.Reconnect() || !m_notesSeen) && m_output.status) {
                                m_output.status(text);
                            }
                        },
                    .showNote =
                        [this](const std::string& text) {
                            if (m_output.drain) {
                                m_output.drain();
                            }
                            if (m_output.note) {
                                m_output.note(text);
                            }
                        },
                }),
      m_notesSeen(notesSeen) {
    m_session.SetReconnect(reconnect);
}

TCliSession::~TCliSession() {
    // Nothing is said from here: what the output refers to may be gone.
    m_session.StopWaiting();
    m_receiver.Stop();
    std::lock_guard<std::mutex> guard(m_failures->lock);
    m_failures->loop = nullptr;
}

void TCliSession::Attach(TDataRT& engine) {
    engine.OnPortClosed = [this] {
        if (!m_closedSaid && m_output.status) {
            m_closedSaid = true;
            m_output.status("port is closed: nothing is sent until it is open again");
        }
    };
}

void TCliSession::SetOutput(Output output) {
    m_output = std::move(output);
    if (!m_staleNote.empty() && m_output.note) {
        m_output.note(m_staleNote);
        m_staleNote.clear();
    }
}

void TCliSession::Open(bool dropStale, const std::function<bool()>& stop) {
    m_dropStale = dropStale;
    m_keepStale = !dropStale;
    if (!stop || !m_session.OpenMayWait()) {
        m_session.Open();
        return;
    }
    // Connecting, the server's hello and the settings run on a thread of their own, so
    // that a signal is heard while they wait.
    m_session.BeginOpen();
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    std::thread opening([&] {
        try {
            m_session.OpenDevice();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        m_loop.Wake();
    });
    bool stopped = false;
    while (!done) {
        if (!stopped && stop()) {
            stopped = true;
            m_session.StopOpening();
        }
        m_loop.Wait(-1, -1);
    }
    opening.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (stopped) {
        // Opened just as it was stopped: the stop wins.
        try {
            m_connection.ClosePort();
        } catch (const std::exception&) {
            // The program ends: the device closes with it.
        }
        throw ECom(OpenPortErrorText, 1, "Opening " + m_connection.Device->Port() + " was stopped");
    }
    m_session.Opened();
}

void TCliSession::KeepStale() {
    // The receive thread is still parked: nothing live can join these bytes.
    try {
        if (const size_t n = m_connection.QueueWaitingInput(); n > 0) {
            m_staleNote = "--- " + std::to_string(n) + (n == 1 ? " byte" : " bytes") +
                          " below waited in the port before it was opened (--keep-stale)";
        }
    } catch (const EComPort& e) {
        m_staleNote =
            std::string("--- the bytes waiting before the open were not read: ") + e.what();
    }
}

void TCliSession::SayFailures() {
    std::vector<std::string> texts;
    {
        std::lock_guard<std::mutex> guard(m_failures->lock);
        texts.swap(m_failures->texts);
    }
    for (const std::string& text : texts) {
        if (m_output.failure) {
            m_output.failure(text);
        } else if (m_output.status) {
            m_output.status(text);
        }
    }
}

bool TCliSession::Watch() {
    SayFailures();
    TComPort& device = *m_connection.Device;
    if (m_connection.HungUp() && device.Connected()) {
        m_session.HangUp();
        if (device.Connected()) {
            return false;
        }
    }
    return device.Connected() || m_session.Waiting();
}

void TCliSession::Stop() {
    m_session.StopWaiting();
    m_receiver.Stop();
    SayFailures();
}
