#include "ui/main/PortReconnect.h"

#include "platform/Platform.h"
#include "serial/OruScomm.h"

TPortReconnect::TPortReconnect(TOruScomm& connection, Clock& clock, Hooks hooks, QObject* parent)
    : QObject(parent), m_connection(connection), m_clock(clock), m_hooks(std::move(hooks)) {
    setObjectName(QStringLiteral("PortReconnect"));
    m_timer.setInterval(CheckIntervalMs);
    // Coarse: a look for the port may come late, but never wakes the system more often.
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TPortReconnect::Check);
}

void TPortReconnect::SetEnabled(bool on) {
    m_enabled = on;
    if (!on) {
        StopWaiting();
    }
}

void TPortReconnect::HangUp() {
    if (!m_connection.HungUp() || !m_connection.Device->Connected()) {
        return;
    }
    m_port = m_connection.OpenedPort();
    m_hooks.closePort();
    const std::string time = m_clock.TimeOfDay();
    const std::string text = m_port + " disconnected " + time;
    m_hooks.showStatus(QString::fromLocal8Bit(text.c_str()));
    if (m_enabled) {
        m_hooks.showNote("--- " + text);
        m_timer.start();
    }
}

void TPortReconnect::StopWaiting() {
    m_timer.stop();
}

void TPortReconnect::Check() {
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
    // The same name: the user's drop-downs may have moved on while the port was away.
    m_connection.Device->SetPort(m_port);
    if (!m_hooks.reopenPort()) {
        // There but not ready yet (its permissions may still be being set): next look.
        return;
    }
    StopWaiting();
    const std::string text = m_port + " reconnected " + m_clock.TimeOfDay();
    m_hooks.showStatus(QString::fromLocal8Bit(text.c_str()));
    m_hooks.showNote("--- " + text);
}
