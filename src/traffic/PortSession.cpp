#include "traffic/PortSession.h"

#include "serial/OruScomm.h"

#include <algorithm>

TPortSession::TPortSession(TOruScomm& connection, Clock& clock, const TimerFactory& timers,
                           Hooks hooks)
    : m_connection(connection), m_clock(clock), m_hooks(std::move(hooks)), m_timer(timers()) {
    m_timer->SetInterval(CheckIntervalMs);
    m_timer->SetHandler([this] { Check(); });
}

void TPortSession::Open() {
    BeginOpen();
    OpenDevice();
    Opened();
}

bool TPortSession::OpenMayWait() const {
    return m_connection.Device->Driver().OpenMayWait(m_connection.Device->Port());
}

void TPortSession::BeginOpen() {
    m_connection.Device->Driver().SetOpenStopped(false);
}

void TPortSession::OpenDevice() {
    m_connection.OpenPort();
}

void TPortSession::Opened() {
    // The user's open starts afresh: no wait is carried over from earlier drops.
    m_quickDrops = 0;
    m_openedAt = m_clock.Milliseconds();
    if (m_hooks.opened) {
        m_hooks.opened();
    }
}

void TPortSession::StopOpening() {
    m_connection.Device->Driver().SetOpenStopped(true);
}

void TPortSession::Close() {
    StopWaiting();
    m_connection.ClosePort();
    if (m_hooks.closed) {
        m_hooks.closed();
    }
}

void TPortSession::SetReconnect(bool on) {
    m_reconnect = on;
    if (!on) {
        StopWaiting();
    }
}

bool TPortSession::HangUp() {
    if (!m_connection.HungUp() || !m_connection.Device->Connected()) {
        return false;
    }
    m_port = m_connection.OpenedPort();
    if (m_clock.Milliseconds() - m_openedAt < SteadyAfterMs) {
        Strike();
    } else {
        m_quickDrops = 1;
    }
    try {
        Close();
    } catch (const std::exception&) {
        // The device refused to close and stays open, as after a failed "Close Port"; the
        // wait ends at its first look.
    }
    const std::string text = m_port + " disconnected " + m_clock.TimeOfDay();
    if (!m_reconnect) {
        if (m_hooks.showStatus) {
            m_hooks.showStatus(text);
        }
        return true;
    }
    const uint32_t wait = WaitBeforeLookMs();
    Say(text + NextTry(wait));
    m_timer->SetInterval(wait);
    m_timer->SetEnabled(true);
    return true;
}

void TPortSession::Strike() {
    m_quickDrops = std::min<uint32_t>(m_quickDrops + 1, 16);
}

std::string TPortSession::NextTry(uint32_t wait) {
    // The usual pace goes without saying.
    return wait > CheckIntervalMs ? ", next try in " + std::to_string(wait / 1000) + " s"
                                  : std::string();
}

void TPortSession::Say(const std::string& text) {
    if (m_hooks.showStatus) {
        m_hooks.showStatus(text);
    }
    if (m_hooks.showNote) {
        m_hooks.showNote("--- " + text);
    }
}

uint32_t TPortSession::WaitBeforeLookMs() const {
    if (m_quickDrops <= 1) {
        return CheckIntervalMs;
    }
    const uint64_t wait = uint64_t{CheckIntervalMs} << (m_quickDrops - 1);
    return static_cast<uint32_t>(std::min<uint64_t>(wait, LongestWaitMs));
}

void TPortSession::StopWaiting() {
    m_timer->SetEnabled(false);
}

void TPortSession::Check() {
    if (!Waiting()) {
        return;
    }
    if (m_connection.Device->Connected()) {
        // Opened by other means meanwhile.
        StopWaiting();
        return;
    }
    // Looks after the first come at the usual pace.
    m_timer->SetInterval(CheckIntervalMs);
    if (!m_connection.Device->Driver().PortReturned(m_port)) {
        return;
    }
    // The same name: the front end's choice may have moved on while the port was away.
    m_connection.Device->SetPort(m_port);
    std::string reason;
    try {
        BeginOpen();
        m_connection.OpenPort();
    } catch (const ECom& e) {
        reason = e.Reason;
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (!m_connection.Device->Connected()) {
        // There but not ready yet (its permissions may still be being set), or a server
        // that takes the connection and ends it at once: each failure in a row waits
        // longer before the next look.
        Strike();
        const uint32_t wait = WaitBeforeLookMs();
        m_timer->SetInterval(wait);
        if (wait > CheckIntervalMs) {
            Say(m_port + " did not open again" + (reason.empty() ? "" : ": " + reason) +
                NextTry(wait));
        }
        return;
    }
    m_openedAt = m_clock.Milliseconds();
    StopWaiting();
    const std::string text = m_port + " reconnected " + m_clock.TimeOfDay();
    if (m_hooks.showNote) {
        m_hooks.showNote("--- " + text);
    }
    if (m_hooks.opened) {
        m_hooks.opened();
    }
    // After the front end has shown the port open, which may set the same place.
    if (m_hooks.showStatus) {
        m_hooks.showStatus(text);
    }
}
