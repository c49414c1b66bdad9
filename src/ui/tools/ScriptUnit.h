#pragma once
// Tools > Scripts...: choose a Lua script, start and stop it, read its log and errors. The
// engine is the core's; this window gives it the port through the small host below and
// feeds it the records the traffic engine takes. A chosen script only runs after Start.

#include "platform/Platform.h"
#include "protocol/ModbusRtu.h"
#include "script/ScriptEngine.h"
#include "traffic/Timer.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TUiPrompter;

// What the window needs of the main window.
struct TScriptWindowHost {
    // Writes bytes to the port; throws with the reason when it cannot (a closed port).
    std::function<void(std::string_view bytes)> send;
    std::function<void(bool on)> setDtr;
    std::function<void(bool on)> setRts;
    // A grey line in the traffic view.
    std::function<void(const std::string& text)> note;
    std::function<bool()> portOpen;
};

class TScriptForm : public QDialog, private TScriptHost {
public:
    TScriptForm(QWidget* parent, TUiPrompter& prompter, Clock& clock, const TimerFactory& timers,
                TScriptWindowHost host);
    ~TScriptForm() override;

    // The chosen script (kept in config.ini by the main window); choosing never starts it.
    void SetPath(const QString& path);
    QString Path() const;

    // Loads the chosen file anew and runs it; Stop ends it.
    void Start();
    void Stop();
    bool Running() const { return m_engine->Running(); }
    // "Script: name running" and the like; empty when no script was started.
    QString StatusText() const;

    // The records the traffic engine takes (hex: the payload is hex text), the port's life.
    // frames: with View > Decode on, the frames the window's decoder completed with this
    // record; on_receive then gets each received one (info.modbus) instead of the record,
    // as korvane-cli's scripts do with --decode modbus.
    void Record(std::string_view record, bool hex,
                const std::vector<TModbusFrame>* frames = nullptr);
    void PortOpened();
    void PortClosed();

    // The path was chosen in the window; the state changed (for the status bar).
    std::function<void(const QString& path)> OnPathChosen;
    std::function<void()> OnStateChanged;

    QLineEdit* ScriptPath = nullptr;
    QPushButton* ScriptChoose = nullptr;
    QPushButton* ScriptStart = nullptr;
    QPushButton* ScriptStop = nullptr;
    QLabel* ScriptState = nullptr;
    QPlainTextEdit* ScriptLog = nullptr;

private:
    void Send(std::string_view bytes) override;
    void SetDtr(bool on) override;
    void SetRts(bool on) override;
    void Log(const std::string& text) override;
    void Error(const std::string& text) override;

    void Choose();
    void AddLog(const QString& line);
    void ShowState();

    TUiPrompter& m_prompter;
    Clock& m_clock;
    TScriptWindowHost m_host;
    std::unique_ptr<TScriptEngine> m_engine;
    bool m_started = false;
};
