#pragma once
// --tap: a second port that korvane-cli only listens to, merged into the first port's
// traffic in the order the bursts began (TTrafficMerge). It has the first port's session
// handling (hang-up, waiting, reopening) and never gets a byte written to it.

#include "cli/CliSession.h"
#include "serial/OruScomm.h"
#include "serial/TrafficMerge.h"

#include <functional>
#include <memory>
#include <string>

class TCliLoop;

class TCliTap {
public:
    // configure: gives the tap's device its line settings. The first connection must
    // outlive the tap; its receive thread may already run.
    TCliTap(TOruScomm& first, TCliLoop& loop, const std::string& port, bool reconnect,
            bool notesSeen, const std::function<void(TComPort&)>& configure);
    ~TCliTap();
    TCliTap(const TCliTap&) = delete;
    TCliTap& operator=(const TCliTap&) = delete;

    TOruScomm& Connection() { return m_connection; }
    TCliSession& Session() { return *m_session; }
    // Ends the tap's receive thread; its records still held are queued.
    void Stop();

private:
    TOruScomm m_connection;
    std::unique_ptr<TTrafficMerge> m_merge;
    std::unique_ptr<TCliSession> m_session;
};
