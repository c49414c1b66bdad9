#include "traffic/DataRT.h"

#include "codec/HexCodec.h"
#include "serial/OruScomm.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace {

const char* const NotHexMessage =
    "String is not the Hex format.\r\n\r\nIf send ASCII data, please switch to ASCII mode.";
const char* const SendCaption = "Send";

// Settings hold line numbers as signed 32-bit values; every comparison of them is unsigned.
uint32_t Unsigned(int32_t value) {
    return static_cast<uint32_t>(value);
}

unsigned char FoldLatin1(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return static_cast<unsigned char>(c + 0x20);
    }
    return c;
}

} // namespace

std::string_view TrafficPayload(std::string_view record) {
    const size_t close = record.find(']');
    return close == std::string_view::npos ? record : record.substr(close + 1);
}

std::optional<uint32_t> RecordHeaderGap(std::string_view record) {
    const size_t close = record.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view header = record.substr(0, close);
    const size_t space = header.rfind(' ');
    if (space == std::string_view::npos || space + 1 == header.size()) {
        return std::nullopt;
    }
    uint32_t gap = 0;
    for (const char c : header.substr(space + 1)) {
        if (c < '0' || c > '9' || gap > 100000) {
            return std::nullopt;
        }
        gap = gap * 10 + static_cast<uint32_t>(c - '0');
    }
    return gap;
}

std::string RecordBytes(std::string_view record, bool hexPayload) {
    const size_t close = record.find(']');
    const std::string_view payload =
        close == std::string_view::npos ? record : record.substr(close + 1);
    return hexPayload ? HexToBytes(payload) : std::string(payload);
}

std::string TrafficPrefix(std::string_view record, bool showTime, bool showRxTx) {
    const bool received = !record.empty() && record.front() == 'R';
    const bool tapped = !record.empty() && record.front() == 'B';
    if (showTime) {
        const size_t close = record.find(']');
        // Without a "]" there is no header to show; the record is all payload.
        const std::string_view header = close == std::string_view::npos || close == 0
                                            ? std::string_view{}
                                            : record.substr(1, close - 1);
        std::string prefix(header);
        if (tapped) {
            prefix += " <B] ";
        } else if (showRxTx) {
            prefix += received ? " Rx] " : " Tx] ";
        } else {
            prefix += "] ";
        }
        return prefix;
    }
    if (tapped) {
        return "[ <B] ";
    }
    if (showRxTx) {
        return received ? "[R x] " : "[T x] ";
    }
    return {};
}

bool PassesReceiveFilter(std::string_view payload, const SettingsRecord& settings) {
    if (!settings.filterEnabled) {
        return true;
    }
    for (const FilterEntry& entry : settings.filterEntries) {
        if (entry.byteNumber == 0 || entry.value.empty()) {
            continue;
        }
        // A byte number the payload cannot hold (a negative one included, read unsigned)
        // yields fewer than two characters, which never equal a stored value.
        const uint64_t position = (static_cast<uint64_t>(Unsigned(entry.byteNumber)) - 1) * 3;
        const std::string_view digits = position < payload.size()
                                            ? payload.substr(static_cast<size_t>(position), 2)
                                            : std::string_view{};
        if (digits != entry.value) {
            return false;
        }
    }
    return true;
}

void AppendTrafficLine(TextView& view, std::string_view prefix, uint32_t color,
                       std::string_view payload, bool receivedHex) {
    const TextViewChange change(view);
    TextAttributes attributes;
    attributes.fontName = TrafficFontName;
    attributes.charset = 0;
    attributes.color = TrafficPrefixColor;
    if (!prefix.empty()) {
        view.InsertText(prefix, attributes);
    }
    attributes.color = color;
    attributes.receivedHex = receivedHex;
    std::string line;
    line.reserve(payload.size() + 2);
    line.append(payload);
    line.append("\r\n");
    view.InsertText(line, attributes);
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return FoldLatin1(static_cast<unsigned char>(x)) ==
               FoldLatin1(static_cast<unsigned char>(y));
    });
}

TDataRT::TDataRT(TextView* sendEdit, TextView* trafficView, TextView* searchView,
                 TOruScomm* connection, const SettingsRecord& settings, Clock& clock,
                 Prompter& prompter, const TimerFactory& timers)
    : SendEdit(sendEdit), TrafficView(trafficView), SearchView(searchView), Connection(connection),
      ActiveView(nullptr), m_settings(settings), m_clock(clock), m_prompter(prompter) {
    m_pumpTimer = timers();
    m_pumpTimer->SetInterval(1);
    m_pumpTimer->SetHandler([this] { PumpTick(); });
    m_pumpTimer->SetEnabled(true);

    // The real period comes with the settings; this one is never used while disabled.
    m_cycleTimer = timers();
    m_cycleTimer->SetEnabled(false);
    m_cycleTimer->SetInterval(10);
    m_cycleTimer->SetHandler([this] { CycleTick(); });

    ActiveView = TrafficView;

    for (TextView* view : {SendEdit, TrafficView, SearchView}) {
        if (view == nullptr) {
            continue;
        }
        view->OnMouseDown = [this] { ViewMouseDown(); };
        view->OnMouseMove = [this] { ViewMouseMove(); };
        view->OnMouseUp = [this](bool ctrlHeld, int x, int y) { ViewMouseUp(ctrlHeld, x, y); };
    }

    ShowTime = false;
    ShowSending = false;
    ShowReceived = true;
    TriggersOn = false;
}

TDataRT::~TDataRT() {
    // The views may outlive the engine; their hooks must not call into a dead object.
    for (TextView* view : {SendEdit, TrafficView, SearchView}) {
        if (view != nullptr) {
            view->OnMouseDown = nullptr;
            view->OnMouseMove = nullptr;
            view->OnMouseUp = nullptr;
        }
    }
}

void TDataRT::PumpTick() {
    std::string record;
    if (Connection != nullptr) {
        if (std::optional<TQueuedRecord> taken = Connection->TakeRecord()) {
            record = std::move(*taken);
        }
    }
    std::optional<std::string> receivedPayload;
    m_lastTickTookRecord = !record.empty();
    if (!record.empty()) {
        // Typed keys go to the send editor, but not while the user selects or copies here.
        if (TrafficView != nullptr && TrafficView->HasFocus() && !SelectingInTrafficView() &&
            SendEdit != nullptr) {
            SendEdit->SetFocus();
        }
        m_recvState = 1;

        const std::string_view payload = TrafficPayload(record);
        const std::string prefix = TrafficPrefix(record, ShowTime, ShowRxTx);
        bool shown = false;
        if (record.front() == 'R') {
            if (ShowReceived && TrafficView != nullptr &&
                PassesReceiveFilter(payload, m_settings)) {
                AppendToTrafficView(prefix, m_settings.receiveTextColor, payload,
                                    !m_settings.asciiReceive);
                shown = true;
            }
            receivedPayload.emplace(payload);
        } else if (record.front() == 'B') {
            if (ShowReceived && TrafficView != nullptr &&
                PassesReceiveFilter(payload, m_settings)) {
                AppendToTrafficView(prefix, TapTextColor, payload, !m_settings.asciiReceive);
                shown = true;
            }
        } else if (ShowSending && TrafficView != nullptr) {
            AppendToTrafficView(prefix, m_settings.sendTextColor, payload, false);
            shown = true;
        }
        if (OnRecord) {
            OnRecord(record, shown);
        }
    }
    AutoSendStep(receivedPayload);
}

void TDataRT::ShowNote(std::string_view text) {
    // The queue is finite: records come from the receive thread only while the port is
    // open, and the notes are written around its closing and opening.
    for (int i = 0; i < 100000; ++i) {
        PumpTick();
        if (!m_lastTickTookRecord) {
            break;
        }
    }
    if (TrafficView != nullptr) {
        TrafficView->MoveCaretToEnd();
        AppendTrafficLine(*TrafficView, std::string_view(), TrafficPrefixColor, text);
    }
}

bool TDataRT::SelectingInTrafficView() const {
    return TrafficView != nullptr &&
           (TrafficView->SelectionLength() > 0 || m_mouseHeldIn == TrafficView);
}

void TDataRT::AppendToTrafficView(std::string_view prefix, uint32_t color, std::string_view payload,
                                  bool receivedHex) {
    const bool keep = SelectingInTrafficView();
    const TextRange kept = keep ? TrafficView->SelectionRange() : TextRange{};
    const int lines = TrafficView->LineCount();
    TrafficView->MoveCaretToEnd();
    AppendTrafficLine(*TrafficView, prefix, color, payload, receivedHex);
    // Lines cut from the top (the line cap, auto save or clear) leave nothing to go back to.
    if (keep && TrafficView->LineCount() >= lines) {
        TrafficView->SetSelectionRange(kept);
    }
}

bool TDataRT::PortOpen() const {
    return Connection != nullptr && Connection->Device && Connection->Device->Connected();
}

uint32_t TDataRT::SendEditCaretLine() const {
    return SendEdit == nullptr ? 0 : Unsigned(SendEdit->CaretLine());
}

void TDataRT::SendLine(LineChoice line) {
    if (SendEdit == nullptr) {
        return;
    }
    if (!PortOpen()) {
        if (OnPortClosed) {
            OnPortClosed();
        }
        return;
    }
    const uint32_t index = line ? *line : SendEditCaretLine();
    // A stored line number may name a line the editor no longer has: nothing is sent.
    if (index >= Unsigned(SendEdit->LineCount())) {
        return;
    }
    Connection->SendData(SendEdit->LineText(static_cast<int>(index)));
}

void TDataRT::SendCursorLine() {
    try {
        SendLine(std::nullopt);
    } catch (const ECom&) {
        m_prompter.Warning(NotHexMessage, SendCaption, PromptOwner::SendWindow);
    }
}

void TDataRT::ReportBadLine(uint32_t line) {
    m_prompter.Warning("Line " + std::to_string(line) + " is not the right format.", SendCaption,
                       PromptOwner::SendWindow);
}

void TDataRT::CycleTick() {
    uint32_t reported = 0;
    try {
        if (m_cycle.cycleUseRange) {
            const uint32_t first = Unsigned(m_cycle.cycleRangeFrom);
            const uint32_t last = Unsigned(m_cycle.cycleRangeTo);
            if (first > CycleCursor) {
                CycleCursor = first;
            }
            if (CycleCursor > last) {
                CycleCursor = first;
            }
            reported = CycleCursor;
            SendLine(CycleCursor - 1);
            ++CycleCursor;
        } else if (m_cycle.cycleThisLine) {
            reported = SendEditCaretLine() + 1;
            SendLine(std::nullopt);
        } else {
            reported = Unsigned(m_cycle.cycleFixedLine);
            SendLine(reported - 1);
        }
    } catch (const ECom&) {
        // Stopped before the box: the timer keeps firing under a modal box.
        m_cycleTimer->SetEnabled(false);
        ReportBadLine(reported);
    }
}

void TDataRT::SetCycleSettings(const CycleSettings& settings) {
    m_cycle = settings;
}

void TDataRT::SetTriggerSettings(const TriggerSettings& settings) {
    m_trigger = settings;
}

void TDataRT::ApplySettings(const SettingsRecord& settings) {
    TriggersOn = settings.timingTriggerEnabled || settings.receiveTriggerEnabled;
    ShowTime = settings.showTime;
    ShowRxTx = settings.showRxTx;
    ShowSending = settings.showSending;
    if (TrafficView != nullptr) {
        TrafficView->SetWordWrap(settings.wordWrap);
    }
    if (Connection != nullptr) {
        Connection->HexReceive = settings.asciiReceive ? 0 : 1;
    }
    if (settings.cycleSendEnabled) {
        m_cycleTimer->SetEnabled(true);
        // A record that never went through the send options dialog holds 0; the cycle
        // period is never below the dialog's minimum of 20 ms.
        m_cycleTimer->SetInterval(std::max<uint32_t>(settings.cycleInterval, 20));
    } else {
        m_cycleTimer->SetEnabled(false);
    }
    SetCycleSettings(settings.Cycle());
    SetTriggerSettings(settings.Triggers());
    if (Connection != nullptr) {
        Connection->HexSend = settings.asciiSend ? 0 : 1;
    }
}

void TDataRT::ApplyPause(bool monitorPaused) {
    ShowReceived = !monitorPaused;
}

void TDataRT::AutoSendStep(const std::optional<std::string>& receivedPayload) {
    TimeTriggerStep();
    ReceiveTriggerStep(receivedPayload);
}

std::optional<uint32_t> TDataRT::PumpDueIn() {
    if (m_lastTickTookRecord) {
        return 0;
    }
    if (!TriggersOn) {
        return std::nullopt;
    }
    std::optional<uint32_t> due;
    if (m_trigger.timingTriggerEnabled) {
        due = TimeTriggerDueIn();
    }
    if (m_trigger.receiveTriggerEnabled && m_recvState == 2) {
        const uint32_t waited = m_clock.Milliseconds() - m_recvMark;
        const uint32_t left =
            waited >= m_trigger.receiveTriggerDelay ? 0 : m_trigger.receiveTriggerDelay - waited;
        due = due ? std::min(*due, left) : left;
    }
    return due;
}

uint32_t TDataRT::TimeTriggerDueIn() {
    if (m_timeState == 2) {
        const uint32_t waited = m_clock.Milliseconds() - m_timeMark;
        return waited >= m_trigger.timingInterval ? 0 : m_trigger.timingInterval - waited;
    }
    constexpr uint32_t Day = 86400000;
    const bool atTrigger = m_clock.TimeOfDay() == FormatOleTimeOfDay(m_trigger.timingTriggerTime);
    if (m_timeState == 0 && !atTrigger) {
        return 0; // the next tick arms the trigger
    }
    if (m_timeState == 1 && atTrigger) {
        return 0;
    }
    const std::optional<uint32_t> now = m_clock.MillisecondOfDay();
    if (!now) {
        return 0;
    }
    const uint32_t second = OleTimeOfDayMs(m_trigger.timingTriggerTime) / 1000 * 1000;
    // From now to the start of the trigger second, and to its end.
    const uint32_t toStart = (second + Day - *now % Day) % Day;
    const uint32_t toEnd = (second + 1000 + Day - *now % Day) % Day;
    // The shown time of day may lag the finer reading by a moment: inside the trigger
    // second by the finer one, the pump looks every millisecond until the two agree.
    const bool insideByMs = toEnd <= 1000 && toEnd != 0;
    uint32_t left = 0;
    if (m_timeState == 0) {
        left = insideByMs ? toEnd : 0; // armed once the trigger second is over
    } else {
        left = insideByMs ? 0 : toStart;
    }
    return std::min(left, MaxPumpSleepMs);
}

void TDataRT::TimeTriggerStep() {
    if (!TriggersOn || !m_trigger.timingTriggerEnabled) {
        return;
    }
    switch (m_timeState) {
    case 0:
        if (m_clock.TimeOfDay() != FormatOleTimeOfDay(m_trigger.timingTriggerTime)) {
            m_timeState = 1;
        }
        return;
    case 1:
        if (m_clock.TimeOfDay() == FormatOleTimeOfDay(m_trigger.timingTriggerTime)) {
            m_timeMark = m_clock.Milliseconds();
            m_timeCursor = Unsigned(m_trigger.timingRangeFrom);
            m_timeState = 2;
        }
        return;
    default:
        break;
    }

    const uint32_t now = m_clock.Milliseconds();
    if (now - m_timeMark < m_trigger.timingInterval) {
        return;
    }
    m_timeMark = now;
    uint32_t failedLine = 0;
    try {
        if (m_trigger.timingUseRange) {
            if (m_timeCursor <= Unsigned(m_trigger.timingRangeTo)) {
                failedLine = m_timeCursor;
                SendLine(m_timeCursor - 1);
                ++m_timeCursor;
            } else {
                m_timeState = 0;
            }
        } else if (m_trigger.timingThisLine) {
            m_timeState = 0;
            failedLine = SendEditCaretLine() + 1;
            SendLine(std::nullopt);
        } else {
            m_timeState = 0;
            failedLine = Unsigned(m_trigger.timingFixedLine);
            SendLine(failedLine - 1);
        }
    } catch (const ECom&) {
        m_timeState = 0;
        TriggersOn = false;
        ReportBadLine(failedLine);
    }
}

int TDataRT::MatchingTriggerRow(const std::string& payload) const {
    const std::string received = NormalizeHex(payload);
    for (size_t row = 0; row < m_trigger.receiveTriggers.size(); ++row) {
        const uint32_t patternLine = Unsigned(m_trigger.receiveTriggers[row].recLine);
        if (patternLine == 0 || SendEdit == nullptr ||
            patternLine > Unsigned(SendEdit->LineCount())) {
            continue;
        }
        const std::string pattern =
            NormalizeHex(SendEdit->LineText(static_cast<int>(patternLine - 1)));
        // An empty pattern line is no pattern: it would otherwise match a text-mode burst
        // of blanks and line breaks.
        if (!pattern.empty() && SameTextIgnoringCase(received, pattern)) {
            return static_cast<int>(row) + 1;
        }
    }
    return 0;
}

void TDataRT::ReceiveTriggerStep(const std::optional<std::string>& receivedPayload) {
    if (!TriggersOn || !m_trigger.receiveTriggerEnabled) {
        return;
    }
    if (m_recvState == 1) {
        if (!receivedPayload) {
            return;
        }
        const int row = MatchingTriggerRow(*receivedPayload);
        if (row != 0) {
            m_recvMark = m_clock.Milliseconds();
            m_recvRow = row;
            m_recvState = 2;
        }
    } else if (m_recvState == 2) {
        if (m_clock.Milliseconds() - m_recvMark < m_trigger.receiveTriggerDelay) {
            return;
        }
        m_recvState = 0;
        const uint32_t line =
            Unsigned(m_trigger.receiveTriggers[static_cast<size_t>(m_recvRow - 1)].trigLine);
        try {
            SendLine(line - 1);
        } catch (const ECom&) {
            m_recvState = 0;
            TriggersOn = false;
            ReportBadLine(line);
        }
    }
}

void TDataRT::FollowCaret() {
    if (ActiveView == nullptr) {
        return;
    }
    const bool hex = Connection == nullptr ||
                     (ActiveView == SendEdit ? Connection->HexSend : Connection->HexReceive) != 0;
    const CaretKey key{ActiveView, ActiveView->CaretLine(), ActiveView->CaretColumn(),
                       ActiveView->SelectionLength(), hex};
    if (key == m_caretKey) {
        return;
    }
    m_caretKey = key;
    const TextView* held = m_mouseHeldIn;
    ViewMouseDown();
    m_mouseHeldIn = held;
    ViewMouseMove();
}

void TDataRT::ViewMouseDown() {
    m_mouseHeldIn = ActiveView;
    if (ActiveView == nullptr) {
        return;
    }
    if (Connection != nullptr) {
        ActiveHex = (ActiveView == SendEdit ? Connection->HexSend : Connection->HexReceive) != 0;
    } else {
        ActiveHex = true;
    }
    const int line = ActiveView->CaretLine();
    const int column = ActiveView->CaretColumn();
    std::string text =
        ActiveView->LineText(line).substr(0, static_cast<size_t>(std::max(column, 0)));
    // Traffic lines start with a bracketed prefix and echoed lines with "[>>": neither
    // counts towards the caret column.
    if (text.size() > 1 && text.front() == '[') {
        if (text.size() > 2 && text[1] == '>' && text[2] == '>') {
            text.erase(0, 3);
        } else if (const size_t close = text.find(']'); close != std::string::npos) {
            text.erase(0, std::min(close + 2, text.size()));
        } else {
            text.clear();
        }
    }
    CaretColumn = ActiveHex ? static_cast<int32_t>(HexByteCount(text, HexRounding::Up))
                            : static_cast<int32_t>(text.size());
    CaretLine = line + 1;
}

void TDataRT::ViewMouseMove() {
    if (ActiveView == nullptr) {
        return;
    }
    if (ActiveHex) {
        SelectionSize = static_cast<int32_t>(
            HexByteCount(TrimText(ActiveView->SelectedText()), HexRounding::Down));
    } else {
        SelectionSize = ActiveView->SelectionLength();
    }
}

void TDataRT::ViewMouseUp(bool ctrlHeld, int globalX, int globalY) {
    m_mouseHeldIn = nullptr;
    if (!ctrlHeld || ActiveView == nullptr) {
        return;
    }
    const std::string selected = ActiveView->SelectedText();
    if (!IsHexText(selected)) {
        return;
    }
    const std::string digits = RemoveBlanks(selected);
    // A value that runs over a line break is two values, not one.
    if (digits.size() > 8 || digits.find_first_of("\r\n") != std::string::npos) {
        return;
    }
    const auto value = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    ValuePopupRequest request;
    request.decimal = std::to_string(static_cast<int32_t>(value));
    request.binary = HexToBinGroups(digits);
    request.x = globalX;
    request.y = globalY;
    if (OnValuePopup) {
        OnValuePopup(request);
    }
}
