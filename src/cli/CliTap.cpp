#include "cli/CliTap.h"

#include "cli/CliLoop.h"

namespace {

// A queue lock of its own: the tap's records go to the first port's queue, and its own
// lock must not be the one the first port holds.
const std::string TapLockName = std::string(TrafficQueueLockName) + "Tap";

} // namespace

TCliTap::TCliTap(TOruScomm& first, TCliLoop& loop, const std::string& port, bool reconnect,
                 bool notesSeen, const std::function<void(TComPort&)>& configure)
    : m_connection(SystemClock::Instance(), nullptr, TapLockName) {
    m_connection.Device->SetPort(port);
    configure(*m_connection.Device);
    m_connection.SetRecordGap(first.RecordGap());
    m_connection.SetFrameEnd(first.FrameEnd());
    m_connection.HexReceive = first.HexReceive.load();
    // Before its receive thread exists.
    m_merge = std::make_unique<TTrafficMerge>(first, m_connection);
    m_session = std::make_unique<TCliSession>(m_connection, loop, reconnect, notesSeen);
}

TCliTap::~TCliTap() {
    Stop();
}

void TCliTap::Stop() {
    if (m_session) {
        m_session->Stop();
    }
    m_merge.reset();
}
