#pragma once
// The traffic engine: moves traffic records from the serial connection into the traffic
// view, follows the caret and selection of the active view, and does every send of the
// program (the user's send command, cycle send, the time-of-day trigger and the receive
// trigger). It runs on the user-interface thread only and talks to the windows through
// TextView, Timer, Clock and Prompter, never to a widget.

#include "platform/Platform.h"
#include "settings/SettingsRecord.h"
#include "traffic/Prompter.h"
#include "traffic/TextView.h"
#include "traffic/Timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class TOruScomm;

// Colour of every traffic prefix (grey, 0x00BBGGRR).
inline constexpr uint32_t TrafficPrefixColor = 8421504;
inline constexpr const char* TrafficFontName = "Courier New";
// Colour of the lines of a tapped second port until the user chooses one (dark green).
inline constexpr uint32_t DefaultTapTextColor = 0x00008000;

// A traffic record is "R" or "T" ("B": received on a tapped second port), a bracketed
// header "[hh:nn:ss gap]" and the payload. The payload is everything after the first "]".
std::string_view TrafficPayload(std::string_view record);
// The silence in a record's header, in ms; std::nullopt for " ---" (a second or more) or a
// header it cannot read.
std::optional<uint32_t> RecordHeaderGap(std::string_view record);
// The bytes of a record's payload: hex text read back into bytes, text taken as it is.
std::string RecordBytes(std::string_view record, bool hexPayload);
// The display prefix of a record for the two prefix switches: the header with " Rx] " or
// " Tx] ", the bare header and a blank, "[R x] " or "[T x] ", or nothing. A tapped port's
// line is always marked: the header with " <B] ", or "[ <B] " without the time.
std::string TrafficPrefix(std::string_view record, bool showTime, bool showRxTx);
// The receive filter of the settings record over a received hex payload (two digits and
// one separator per byte). Every received record passes while the filter is off.
bool PassesReceiveFilter(std::string_view payload, const SettingsRecord& settings);
// Inserts the grey prefix, then the payload and a line break in the given colour, at the
// view's insertion point; both in "Courier New", character set 0, at the view's font size.
// The view reports the whole line as one change. receivedHex marks the payload as received
// hex text (TextAttributes::receivedHex).
void AppendTrafficLine(TextView& view, std::string_view prefix, uint32_t color,
                       std::string_view payload, bool receivedHex = false);
// Whole-text comparison of two trigger texts with letter case ignored (8-bit text read as
// Latin-1, so accented letters compare with their capitals too).
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// What the value popup shows for a Ctrl-release over a hex selection of at most four bytes:
// the value as a signed 32-bit decimal, its binary groups, and the mouse position.
struct ValuePopupRequest {
    std::string decimal;
    std::string binary;
    int x = 0;
    int y = 0;
};

class TDataRT {
public:
    // A line of the send editor: a 0-based line number, or std::nullopt for the line that
    // holds the editor's caret.
    using LineChoice = std::optional<uint32_t>;

    // The views and the connection are not owned and must outlive the engine; sendEdit,
    // searchView and connection may be null. settings is the process-wide record, read live
    // for the receive filter and the payload colours.
    TDataRT(TextView* sendEdit, TextView* trafficView, TextView* searchView, TOruScomm* connection,
            const SettingsRecord& settings, Clock& clock, Prompter& prompter,
            const TimerFactory& timers);
    ~TDataRT();
    TDataRT(const TDataRT&) = delete;
    TDataRT& operator=(const TDataRT&) = delete;

    // --- traffic pump ---
    // One tick of the pump timer: at most one record, then the automatic-sending step.
    void PumpTick();
    // A line of the program's own in the traffic view (grey, like the prefixes), placed
    // after every record still queued, so a saved capture shows it where it happened.
    void ShowNote(std::string_view text);

    // --- sending ---
    // Sends the chosen line of the send editor through the connection. Nothing happens
    // without an editor, a connection or an open port, or for a line the editor does not
    // have. ECom (not hex text in hex mode) and port errors pass to the caller.
    void SendLine(LineChoice line);
    // The user's send command: the caret line; a text that is not hex is reported in a box.
    void SendCursorLine();
    // Handler of the cycle timer.
    void CycleTick();
    void SetCycleSettings(const CycleSettings& settings);
    void SetTriggerSettings(const TriggerSettings& settings);

    // The engine's share of the settings refresh: display switches, the traffic view's word
    // wrap, the connection's hex switches, the cycle timer, both snapshots and the trigger
    // master switch.
    void ApplySettings(const SettingsRecord& settings);
    // The engine's share of the pause command: received records are not displayed while
    // the monitor is paused (they still reach the receive trigger).
    void ApplyPause(bool monitorPaused);

    // --- mouse hooks of the three views (installed by the constructor) ---
    void ViewMouseDown();
    void ViewMouseMove();
    void ViewMouseUp(bool ctrlHeld, int globalX, int globalY);
    // Brings CaretLine, CaretColumn and SelectionSize up to date with the active view after
    // keyboard moves and typing, as a click would; cheap when nothing moved.
    void FollowCaret();
    // Receives the value popup request of a Ctrl-release; the window side shows the popup.
    std::function<void(const ValuePopupRequest&)> OnValuePopup;
    // A line was to be sent (by hand, cycle or trigger) while the port is closed; nothing
    // was written.
    std::function<void()> OnPortClosed;
    // Every record the pump takes, after it was shown or left out; shown: it became the
    // traffic view's last line. For what sits on the record stream without changing it.
    std::function<void(std::string_view record, bool shown)> OnRecord;

    // Nothing for the pump to do until a record is queued or the settings change: the last
    // tick took no record and neither trigger is switched on. The window side may let its
    // pump timer sleep meanwhile, so an idle program does not wake a thousand times a second.
    bool PumpIdle() const { return !m_lastTickTookRecord && !TriggersOn; }
    // The last tick took a record: a pump that drains the queue ticks again at once.
    bool LastTickTookRecord() const { return m_lastTickTookRecord; }
    // How long the pump may sleep after a tick before the next one is due, in ms: 0 while
    // records may still be queued or something is due now; a trigger's next moment
    // otherwise (the time-of-day trigger's at most MaxPumpSleepMs ahead, so a change of the
    // system's clock is caught up with soon); std::nullopt when nothing but a queued record
    // or a change of the settings can give the pump work. A tick before the time does no
    // harm.
    std::optional<uint32_t> PumpDueIn();
    static constexpr uint32_t MaxPumpSleepMs = 10000;

    Timer& PumpTimer() const { return *m_pumpTimer; }
    Timer& CycleTimer() const { return *m_cycleTimer; }

    // Automatic-sending state, for the status display and tests.
    int TimeState() const { return m_timeState; }
    uint32_t TimeCursor() const { return m_timeCursor; }
    int RecvState() const { return m_recvState; }
    int RecvRow() const { return m_recvRow; }
    const CycleSettings& CycleSnapshot() const { return m_cycle; }
    const TriggerSettings& TriggerSnapshot() const { return m_trigger; }

    TextView* const SendEdit;
    TextView* const TrafficView;
    TextView* const SearchView;
    TOruScomm* const Connection;
    // The view whose caret and selection are reported; set by the windows on activation.
    TextView* ActiveView;

    uint32_t CycleCursor = 0;
    bool TriggersOn = false;
    bool ShowTime = false;
    bool ShowRxTx = false;
    bool ShowSending = false;
    bool ShowReceived = true;
    // Lines of a tapped second port ("B" records): shown and filtered like received ones,
    // in this colour; they do not start the receive trigger, which answers the first port.
    uint32_t TapTextColor = DefaultTapTextColor;

    // Caret and selection of ActiveView, counted in bytes when ActiveHex is set.
    int32_t CaretLine = 0; // 1-based
    int32_t CaretColumn = 0;
    int32_t SelectionSize = 0;
    bool ActiveHex = false;

private:
    void AutoSendStep(const std::optional<std::string>& receivedPayload);
    void TimeTriggerStep();
    uint32_t TimeTriggerDueIn();
    void ReceiveTriggerStep(const std::optional<std::string>& receivedPayload);
    int MatchingTriggerRow(const std::string& payload) const;
    bool PortOpen() const;
    uint32_t SendEditCaretLine() const;
    void ReportBadLine(uint32_t line);
    // The user is selecting in the traffic view: a selection or a mouse button held there.
    bool SelectingInTrafficView() const;
    void AppendToTrafficView(std::string_view prefix, uint32_t color, std::string_view payload,
                             bool receivedHex);

    const SettingsRecord& m_settings;
    Clock& m_clock;
    Prompter& m_prompter;
    std::unique_ptr<Timer> m_pumpTimer;
    std::unique_ptr<Timer> m_cycleTimer;

    CycleSettings m_cycle;
    TriggerSettings m_trigger;

    int m_timeState = 0;
    uint32_t m_timeMark = 0;
    uint32_t m_timeCursor = 0;
    int m_recvState = 0;
    uint32_t m_recvMark = 0;
    int m_recvRow = 0;
    bool m_lastTickTookRecord = false;
    // The view a mouse button is held in; null when none is.
    const TextView* m_mouseHeldIn = nullptr;
    struct CaretKey {
        const TextView* view = nullptr;
        int line = -1;
        int column = -1;
        int selection = -1;
        bool hex = false;
        bool operator==(const CaretKey&) const = default;
    };
    CaretKey m_caretKey;
};
