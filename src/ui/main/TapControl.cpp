#include "ui/main/TapControl.h"

#include "serial/OruScomm.h"
#include "serial/TrafficMerge.h"
#include "traffic/PortSession.h"
#include "ui/main/AllCommands.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/QtTimer.h"
#include "ui/main/UiPrompter.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>

namespace {

// A queue lock of its own: the tap's records go to the first port's queue.
const std::string TapLockName = std::string(TrafficQueueLockName) + "Tap";
const QString TapCaption = QStringLiteral("Tap a Second Port");

} // namespace

TTapControl::TTapControl(TOruScomm& first, Clock& clock, TUiPrompter& prompter, QWidget* owner,
                         Hooks hooks)
    : QObject(owner), m_first(first), m_clock(clock), m_prompter(prompter), m_owner(owner),
      m_hooks(std::move(hooks)) {
    m_lamps = new QFrame(owner);
    m_lamps->setObjectName(QStringLiteral("TapLamps"));
    m_lamps->setFrameShape(QFrame::Panel);
    m_lamps->setFrameShadow(QFrame::Sunken);
    // The status bar places it beside the first port's lamps (SetLampNeighbour).
    m_lamps->setAutoFillBackground(true);
    auto* row = new QHBoxLayout(m_lamps);
    row->setContentsMargins(3, 0, 3, 0);
    row->setSpacing(4);
    const auto lamp = [this, row](const char* name, const QString& text) {
        auto* label = new QLabel(text, m_lamps);
        label->setObjectName(QString::fromLatin1(name));
        label->setEnabled(false);
        row->addWidget(label);
        return label;
    };
    m_lampOpen = lamp("TapLampB", QStringLiteral("B"));
    m_lampDsr = lamp("TapLampDSR", QStringLiteral("DSR"));
    m_lampCts = lamp("TapLampCTS", QStringLiteral("CTS"));
    m_lampRlsd = lamp("TapLampRLSD", QStringLiteral("RLSD"));
    // As the first port's lamps: lit green, dark grey.
    m_lamps->setStyleSheet(
        QStringLiteral("QLabel:enabled { color: #008000; } QLabel:disabled { color: gray; }"));
    QFont font = m_lamps->font();
    font.setPixelSize(10);
    m_lamps->setFont(font);
    m_lamps->hide();
}

TTapControl::~TTapControl() {
    Close();
}

void TTapControl::AddActions(QMenu* menu, QAction* before) {
    m_tapAction = new QAction(QStringLiteral("Tap a Second Port..."), menu);
    m_tapAction->setObjectName(QStringLiteral("TapPort"));
    m_closeAction = new QAction(QStringLiteral("Close Tap"), menu);
    m_closeAction->setObjectName(QStringLiteral("CloseTap"));
    m_closeAction->setEnabled(false);
    menu->insertAction(before, m_tapAction);
    menu->insertAction(before, m_closeAction);
    MarkHiddenCommand(m_tapAction);
    MarkHiddenCommand(m_closeAction);
    connect(m_tapAction, &QAction::triggered, this, [this] { Choose(); });
    connect(m_closeAction, &QAction::triggered, this, [this] { Close(); });
}

void TTapControl::Choose() {
    QDialog dialog(m_owner);
    dialog.setObjectName(QStringLiteral("TapDialog"));
    dialog.setWindowTitle(TapCaption);
    auto* form = new QFormLayout(&dialog);
    auto* port = new TPortComboBox(&dialog);
    port->setObjectName(QStringLiteral("TapPortBox"));
    port->Reload();
    // The choices go to a device that is never opened; the line defaults to the first
    // port's.
    TComPort scratch;
    const TTapLine first = m_hooks.firstLine ? m_hooks.firstLine() : TTapLine{};
    scratch.SetBaudRate(first.baudRate);
    scratch.Parity().SetBits(first.parity);
    scratch.SetDataBits(first.dataBits);
    scratch.SetStopBits(first.stopBits);
    port->setCurrentIndex(-1);
    form->addRow(QStringLiteral("Port:"), port);
    const auto line = [&](const char* name, TComProperty kind, const QString& caption) {
        auto* box = new TComComboBox(&dialog);
        box->setObjectName(QString::fromLatin1(name));
        box->SetComProperty(kind);
        box->SetComPort(&scratch);
        form->addRow(caption, box);
    };
    line("TapBaudRate", cpBaudRate, QStringLiteral("Baud rate:"));
    line("TapParityBits", cpParity, QStringLiteral("Parity:"));
    line("TapDataBits", cpDataBits, QStringLiteral("Data bits:"));
    line("TapStopBits", cpStopBits, QStringLiteral("Stop bits:"));
    auto* requests =
        new QCheckBox(QStringLiteral("The tapped port hears the master's requests"), &dialog);
    requests->setObjectName(QStringLiteral("TapCarriesRequests"));
    requests->setChecked(m_line.carriesRequests);
    form->addRow(requests);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    TTapLine chosen;
    chosen.port = port->currentText().trimmed().toStdString();
    chosen.baudRate = scratch.BaudRate();
    chosen.parity = scratch.Parity().Bits();
    chosen.dataBits = scratch.DataBits();
    chosen.stopBits = scratch.StopBits();
    chosen.carriesRequests = requests->isChecked();
    Open(chosen);
}

bool TTapControl::Open(const TTapLine& line) {
    Close();
    if (line.port.empty()) {
        m_prompter.Warning(m_owner, QStringLiteral("Choose a port first."), TapCaption);
        return false;
    }
    if (m_first.Device->Connected() && line.port == m_first.OpenedPort()) {
        m_prompter.Warning(m_owner,
                           QStringLiteral("The port to tap is a second port, not the one "
                                          "already open."),
                           TapCaption);
        return false;
    }
    m_line = line;
    m_connection = std::make_unique<TOruScomm>(m_clock, nullptr, TapLockName);
    TComPort& device = *m_connection->Device;
    device.SetPort(line.port);
    device.SetBaudRate(line.baudRate);
    device.Parity().SetBits(line.parity);
    device.SetDataBits(line.dataBits);
    device.SetStopBits(line.stopBits);
    m_connection->SetRecordGap(m_first.RecordGap());
    m_connection->SetFrameEnd(m_first.FrameEnd());
    // Before its receive thread exists.
    m_merge = std::make_unique<TTrafficMerge>(m_first, *m_connection);
    m_thread = std::make_unique<TOruComThread>(*m_connection);
    TPortSession::Hooks hooks;
    hooks.opened = [this] {
        m_thread->Unpark();
        ShowState();
    };
    hooks.closed = [this] {
        m_thread->Park();
        ShowState();
    };
    hooks.showStatus = [this](const std::string& text) {
        if (m_hooks.showStatus) {
            m_hooks.showStatus(QStringLiteral("Tap ") + QString::fromLocal8Bit(text.c_str()));
        }
    };
    hooks.showNote = [this](const std::string& text) {
        if (m_hooks.showNote) {
            m_hooks.showNote(text);
        }
    };
    m_session = std::make_unique<TPortSession>(*m_connection, m_clock, TQtTimer::Factory(),
                                               std::move(hooks));
    m_session->SetReconnect(!m_hooks.reconnect || m_hooks.reconnect());
    // Told on the receive thread; handled on this one, if the tap is still the same.
    TOruScomm* tapped = m_connection.get();
    m_connection->OnHangUp = [this, tapped] {
        QMetaObject::invokeMethod(
            this,
            [this, tapped] {
                if (m_connection.get() == tapped && m_session != nullptr) {
                    m_session->HangUp();
                }
            },
            Qt::QueuedConnection);
    };
    // The tap's lamps follow its modem lines: the status refresh is asked for.
    m_connection->OnLinesChanged = [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_hooks.changed) {
                    m_hooks.changed();
                }
            },
            Qt::QueuedConnection);
    };
    m_connection->OnFailure = [this, tapped](const std::string& what) {
        const QString text = QStringLiteral("Tap ") + QString::fromLocal8Bit(what);
        QMetaObject::invokeMethod(
            this,
            [this, tapped, text] {
                if (m_connection.get() == tapped && m_hooks.showStatus) {
                    m_hooks.showStatus(text);
                }
            },
            Qt::QueuedConnection);
    };
    try {
        m_session->Open();
    } catch (const ECom& e) {
        Close();
        QString text = QString::fromLatin1(e.ErrorText.c_str());
        if (!e.Reason.empty()) {
            text += QLatin1Char('\n') + QString::fromStdString(e.Reason);
        }
        m_prompter.Warning(m_owner, text, TapCaption);
        return false;
    }
    ShowState();
    return true;
}

void TTapControl::Close() {
    if (m_connection == nullptr) {
        return;
    }
    if (m_session != nullptr) {
        m_session->StopWaiting();
    }
    // Closes the port so a pending read returns, then joins the thread.
    m_thread->Stop();
    // What the merge still held goes to the first port's queue.
    m_merge.reset();
    m_session.reset();
    m_thread.reset();
    m_connection.reset();
    ShowState();
}

void TTapControl::SetReconnect(bool on) {
    if (m_session != nullptr) {
        m_session->SetReconnect(on);
    }
}

void TTapControl::ShowState() {
    if (m_closeAction != nullptr) {
        m_closeAction->setEnabled(Active());
    }
    m_lamps->setVisible(Active());
    Tick();
    if (m_hooks.changed) {
        m_hooks.changed();
    }
}

void TTapControl::Tick() {
    const bool open = m_connection != nullptr && m_connection->Device->Connected();
    m_lampOpen->setEnabled(open);
    m_lampDsr->setEnabled(open && m_connection->DsrOn.load() != 0);
    m_lampCts->setEnabled(open && m_connection->CtsOn.load() != 0);
    m_lampRlsd->setEnabled(open && m_connection->RlsdOn.load() != 0);
    if (m_connection != nullptr) {
        m_lamps->setToolTip(QStringLiteral("Tapped port %1: %2, RX: %3")
                                .arg(QString::fromStdString(m_connection->Device->Port()))
                                .arg(open ? QStringLiteral("open")
                                     : m_session != nullptr && m_session->Waiting()
                                         ? QStringLiteral("awaited")
                                         : QStringLiteral("closed"))
                                .arg(static_cast<uint32_t>(m_connection->RxCount.load())));
    }
}
