#include "ui/tools/ScriptUnit.h"

#include "codec/HexCodec.h"
#include "traffic/DataRT.h"
#include "ui/main/UiPrompter.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <stdexcept>

namespace {

// The log keeps this many lines; a chatty script does not grow it without bound.
constexpr int LogLines = 2000;

} // namespace

TScriptForm::TScriptForm(QWidget* parent, TUiPrompter& prompter, Clock& clock,
                         const TimerFactory& timers, TScriptWindowHost host)
    : QDialog(parent), m_prompter(prompter), m_clock(clock), m_host(std::move(host)),
      m_engine(std::make_unique<TScriptEngine>(static_cast<TScriptHost&>(*this), clock, timers)) {
    setObjectName(QStringLiteral("ScriptForm"));
    setWindowTitle(QStringLiteral("Scripts"));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    auto* fileRow = new QHBoxLayout();
    ScriptPath = new QLineEdit(this);
    ScriptPath->setObjectName(QStringLiteral("ScriptPath"));
    ScriptPath->setReadOnly(true);
    ScriptPath->setPlaceholderText(QStringLiteral("No script chosen"));
    ScriptChoose = new QPushButton(QStringLiteral("Choose..."), this);
    ScriptChoose->setObjectName(QStringLiteral("ScriptChoose"));
    fileRow->addWidget(ScriptPath, 1);
    fileRow->addWidget(ScriptChoose);
    layout->addLayout(fileRow);
    auto* controls = new QHBoxLayout();
    ScriptStart = new QPushButton(QStringLiteral("Start"), this);
    ScriptStart->setObjectName(QStringLiteral("ScriptStart"));
    ScriptStop = new QPushButton(QStringLiteral("Stop"), this);
    ScriptStop->setObjectName(QStringLiteral("ScriptStop"));
    ScriptState = new QLabel(this);
    ScriptState->setObjectName(QStringLiteral("ScriptState"));
    controls->addWidget(ScriptStart);
    controls->addWidget(ScriptStop);
    controls->addWidget(ScriptState, 1);
    layout->addLayout(controls);
    ScriptLog = new QPlainTextEdit(this);
    ScriptLog->setObjectName(QStringLiteral("ScriptLog"));
    ScriptLog->setReadOnly(true);
    ScriptLog->setMaximumBlockCount(LogLines);
    layout->addWidget(ScriptLog, 1);
    resize(560, 360);

    connect(ScriptChoose, &QPushButton::clicked, this, [this] { Choose(); });
    connect(ScriptStart, &QPushButton::clicked, this, [this] { Start(); });
    connect(ScriptStop, &QPushButton::clicked, this, [this] { Stop(); });
    m_engine->OnFinished = [this](TScriptEngine::TState state) {
        if (state == TScriptEngine::TState::Failed) {
            AddLog(QStringLiteral("failed: ") + QString::fromLocal8Bit(m_engine->FailureText()));
        } else if (state == TScriptEngine::TState::Passed) {
            AddLog(QStringLiteral("passed"));
        }
        ShowState();
    };
    ShowState();
}

TScriptForm::~TScriptForm() {
    // The engine calls back while it closes (a script's finalizers); the main window's
    // parts the host reaches may be gone by now.
    m_engine->OnFinished = nullptr;
    m_host = TScriptWindowHost{};
    m_engine.reset();
}

void TScriptForm::SetPath(const QString& path) {
    ScriptPath->setText(path);
    ShowState();
}

QString TScriptForm::Path() const {
    return ScriptPath->text();
}

void TScriptForm::Choose() {
    const QString path =
        m_prompter.OpenFileName(this, Path(), QStringLiteral("Lua scripts|*.lua|All files|*"));
    if (path.isEmpty()) {
        return;
    }
    SetPath(path);
    if (OnPathChosen) {
        OnPathChosen(path);
    }
}

void TScriptForm::Start() {
    if (Path().isEmpty()) {
        AddLog(QStringLiteral("Choose a script first."));
        return;
    }
    m_started = true;
    AddLog(QStringLiteral("start ") + QFileInfo(Path()).fileName());
    if (m_engine->LoadFile(Path().toLocal8Bit().toStdString()) && m_host.portOpen &&
        m_host.portOpen()) {
        m_engine->Opened();
    }
    ShowState();
}

void TScriptForm::Stop() {
    if (m_engine->Running()) {
        m_engine->Stop();
        AddLog(QStringLiteral("stopped"));
    }
    ShowState();
}

QString TScriptForm::StatusText() const {
    if (!m_started) {
        return QString();
    }
    const QString name = QString::fromLocal8Bit(m_engine->Name());
    return QStringLiteral("Script: %1 %2")
        .arg(name, QString::fromLatin1(ScriptStateName(m_engine->State())));
}

void TScriptForm::Record(std::string_view record, bool hex,
                         const std::vector<TModbusFrame>* frames) {
    if (!m_engine->Running() || record.empty()) {
        return;
    }
    const bool sent = record.front() == 'T';
    const std::string bytes = RecordBytes(record, hex);
    if (sent) {
        m_engine->Sent(bytes);
        return;
    }
    TScriptRecordInfo info;
    info.timeMs = m_clock.Milliseconds();
    // "R[hh:nn:ss gap]": the time of day stands between the bracket and the gap.
    const size_t space = record.find(' ', 2);
    const size_t close = record.find(']');
    if (space != std::string_view::npos && close != std::string_view::npos && space < close) {
        info.timeOfDay = std::string(record.substr(2, space - 2));
    }
    info.gapMs = RecordHeaderGap(record).value_or(1000);
    if (frames == nullptr) {
        m_engine->Received(bytes, info);
        return;
    }
    for (const TModbusFrame& frame : *frames) {
        if (frame.direction == TModbusDirection::Received && m_engine->Running()) {
            info.frame = &frame;
            m_engine->Received(std::string(frame.bytes.begin(), frame.bytes.end()), info);
        }
    }
}

void TScriptForm::PortOpened() {
    m_engine->Opened();
}

void TScriptForm::PortClosed() {
    m_engine->Closed();
}

void TScriptForm::Send(std::string_view bytes) {
    if (!m_host.portOpen || !m_host.portOpen() || !m_host.send) {
        throw std::runtime_error("the port is closed");
    }
    m_host.send(bytes);
}

void TScriptForm::SetDtr(bool on) {
    if (m_host.setDtr) {
        m_host.setDtr(on);
    }
}

void TScriptForm::SetRts(bool on) {
    if (m_host.setRts) {
        m_host.setRts(on);
    }
}

void TScriptForm::Log(const std::string& text) {
    AddLog(QString::fromLocal8Bit(text));
    if (m_host.note) {
        m_host.note(m_engine->Name() + ": " + text);
    }
}

void TScriptForm::Error(const std::string& text) {
    AddLog(QStringLiteral("error: ") + QString::fromLocal8Bit(text));
    if (m_host.note) {
        m_host.note("script error: " + text);
    }
}

void TScriptForm::AddLog(const QString& line) {
    ScriptLog->appendPlainText(line);
}

void TScriptForm::ShowState() {
    const bool running = m_engine->Running();
    ScriptStart->setText(running ? QStringLiteral("Restart") : QStringLiteral("Start"));
    ScriptStart->setEnabled(!Path().isEmpty());
    ScriptStop->setEnabled(running);
    ScriptState->setText(StatusText());
    if (OnStateChanged) {
        OnStateChanged();
    }
}
