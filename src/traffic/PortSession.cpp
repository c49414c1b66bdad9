#include "traffic/PortSession.h"

#include "serial/OruScomm.h"

TPortSession::TPortSession(TOruScomm& connection, Clock& clock, const TimerFactory& timers,
                           Hooks hooks)
    : m_connection(connection), m_clock(clock), m_hooks(std::move(hooks)), m_timer(timers()) {
    m_timer->SetInterval(CheckIntervalMs);
    m_timer->SetHandler([this] { Check(); });
}

void TPortSession::Open() {
    m_connection.OpenPort();
    if (m_hooks.opened) {
        m_hooks.opened();
    }
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
    try {
        Close();
    } catch (const std::exception&) {
        // The device refused to close and stays open, as after a failed "Close Port"; the
        // wait ends at its first look.
    }
    const std::string text = m_port + " disconnected " + m_clock.TimeOfDay();
    if (m_hooks.showStatus) {
        m_hooks.showStatus(text);
    }
    if (m_reconnect) {
        if (m_hooks.showNote) {
            m_hooks.showNote("--- " + text);
        }
        m_timer->SetEnabled(true);
    }
    return true;
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
    if (!m_connection.Device->Driver().PortReturned(m_port)) {
        return;
    }
    // The same name: the front end's choice may have moved on while the port was away.
    m_connection.Device->SetPort(m_port);
    try {
        Open();
    } catch (const std::exception&) {
        // There but not ready yet (its permissions may still be being set): next look.
        return;
    }
    StopWaiting();
    const std::string text = m_port + " reconnected " + m_clock.TimeOfDay();
    if (m_hooks.showStatus) {
        m_hooks.showStatus(text);
    }
    if (m_hooks.showNote) {
        m_hooks.showNote("--- " + text);
    }
}
