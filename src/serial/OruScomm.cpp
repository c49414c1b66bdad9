#include "serial/OruScomm.h"

#include "codec/HexCodec.h"
#include "platform/PromptWake.h"
#include "serial/TrafficMerge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

const char* const OpenPortErrorText = "Open port failure,it may be opened by other procedures.";
const char* const SendDataErrorText = "The sending data is not hexadecimal format.";
const char* const TappedPortSendText = "This port is only listened to: nothing is sent to it.";
const char* const ReceivingFailedText = "Receiving failed: ";

uint32_t TStartMark::Begin(Clock& clock) {
    // Stamping first: a merge that sees the mark idle has read its clock before this one.
    m_state = Stamping;
    const uint32_t t = clock.Milliseconds();
    m_state = Since | t;
    return t;
}

std::optional<uint32_t> TStartMark::Bound(uint32_t now) const {
    const uint64_t state = m_state.load();
    if (state == IdleState) {
        return now;
    }
    if (state == Stamping) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(state);
}

std::string TrafficRecordHeader(char direction, std::string_view timeOfDay, uint32_t gap) {
    std::string header;
    header.reserve(timeOfDay.size() + 7);
    header += direction;
    header += '[';
    header += timeOfDay;
    if (gap >= 1000u) {
        header += " ---";
    } else {
        char text[8];
        std::snprintf(text, sizeof text, " %3u", static_cast<unsigned>(gap));
        header += text;
    }
    header += ']';
    return header;
}

EComPortGone::EComPortGone(const std::string& port, int32_t code, int32_t systemError)
    : EComPort(code, systemError), m_port(port),
      m_text("The port " + port + " is gone: its device was disconnected.") {}

TOruScomm::TOruScomm(Clock& clock, std::unique_ptr<TComDriver> driver, const std::string& lockName)
    : m_queueLock(lockName), m_clock(clock) {
    Device = driver ? std::make_unique<TComPort>(std::move(driver)) : std::make_unique<TComPort>();
    Device->SetPort("Com1");
    Device->SetBaudRate(br9600);
    Device->SetDataBits(dbEight);
    Device->SetStopBits(sbOneStopBit);
    Device->Parity().SetBits(prNone);
    Device->FlowControl().SetFlowControl(fcNone);
    Device->FlowControl().SetControlDTR(dtrEnable);
    Device->FlowControl().SetControlRTS(rtsEnable);
    Device->Timeouts().SetReadInterval(static_cast<int32_t>(ReadWindowMs));
    Device->Timeouts().SetReadTotalMultiplier(0);
    Device->Timeouts().SetReadTotalConstant(static_cast<int32_t>(ReadWindowMs));
    Device->Timeouts().SetWriteTotalMultiplier(100);
    Device->Timeouts().SetWriteTotalConstant(1000);
    Device->Buffer().SetInputSize(QueueSize);
    Device->Buffer().SetOutputSize(QueueSize);
    Device->OnCTSChange = [this](TCustomComPort&, bool on) { CtsOn = on ? 1 : 0; };
    Device->OnDSRChange = [this](TCustomComPort&, bool on) { DsrOn = on ? 1 : 0; };
    Device->OnRLSDChange = [this](TCustomComPort&, bool on) { RlsdOn = on ? 1 : 0; };
    Device->SetEvents(TComEvents());
    Device->Driver().SetFailureHandler(
        [this](const std::string& what) { ReportDriverFailure(what); });
}

TOruScomm::~TOruScomm() {
    try {
        ClosePort();
    } catch (...) {
    }
    // The driver's own threads end with the device, while everything they may tell is still
    // here; nothing is told from now on.
    m_closing = true;
    Device.reset();
}

void TOruScomm::OpenPort() {
    if (Device->Connected()) {
        return;
    }
    std::string reason;
    try {
        Device->OpenDevice();
        {
            std::lock_guard<std::mutex> guard(m_portLock);
            m_openedPort = Device->Port();
        }
        m_hungUp = false;
        return;
    } catch (const EComPort& e) {
        if (e.ErrorCode() == CE_OpenFailed) {
            reason = Device->Driver().DescribeOpenFailure(Device->Port(), e.SystemError());
        } else {
            // The device opened but refused its settings.
            reason = e.what();
        }
    } catch (...) {
    }
    // The device stays open when only the modem-line read at the end failed; a failure
    // reported to the user must not leave the port held.
    if (Device->Connected()) {
        try {
            Device->CloseDevice();
        } catch (...) {
        }
    }
    throw ECom(OpenPortErrorText, 1, reason);
}

void TOruScomm::SetRecordGap(uint32_t gapMs, uint32_t windowMs) {
    const uint32_t interval = gapMs == 0 ? windowMs : gapMs;
    m_recordGap = gapMs;
    m_readWindow = windowMs;
    m_readTail = std::min(interval, windowMs);
    ApplyReadTimeouts();
}

bool EndsWithLineFeed(const uint8_t* data, size_t n) {
    return n != 0 && data[n - 1] == '\n';
}

bool EndsWithLineEnd(const uint8_t* data, size_t n) {
    return n != 0 && (data[n - 1] == '\n' || data[n - 1] == '\r');
}

void TOruScomm::SetFrameEnd(TFrameEndTest test) {
    m_frameEnd = test;
    ApplyReadTimeouts();
}

void TOruScomm::ApplyReadTimeouts() {
    const uint32_t gap = m_recordGap.load();
    const uint32_t window = m_readWindow.load();
    if (gap != 0 && m_frameEnd.load() != nullptr) {
        // Each read returns as soon as bytes are there, or after the gap without any: the
        // receive thread looks at the burst after every read and ends it itself.
        Device->Timeouts().SetRead(-1, -1, static_cast<int32_t>(std::min(gap, window)));
        return;
    }
    Device->Timeouts().SetRead(static_cast<int32_t>(gap == 0 ? window : gap), 0,
                               static_cast<int32_t>(window));
}

void TOruScomm::ClosePort() {
    if (Device->Connected()) {
        // The calls that the close cuts short fail, and that is no hang-up.
        m_closing = true;
        try {
            Device->CloseDevice();
        } catch (...) {
            m_closing = false;
            throw;
        }
        m_closing = false;
    }
}

std::string TOruScomm::OpenedPort() const {
    std::lock_guard<std::mutex> guard(m_portLock);
    return m_openedPort;
}

bool TOruScomm::NoteFailure(const EComPort& e) {
    // m_closing first: a close of our own clears it only after the device shows closed.
    if (m_closing || !Device->Connected()) {
        return false;
    }
    if (!m_hungUp && !IsHangUpError(e.SystemError()) &&
        Device->Driver().PortPresent(OpenedPort())) {
        return false;
    }
    ReportHangUp();
    return true;
}

void TOruScomm::ReportFailure(const std::string& what) {
    if (m_closing || !Device->Connected() || m_failing.exchange(true)) {
        return;
    }
    if (OnFailure) {
        OnFailure(ReceivingFailedText + what);
    }
}

void TOruScomm::ReportDriverFailure(const std::string& what) {
    // Also while the port is closed: the watch for a network port's return runs then.
    if (m_closing || m_failing.exchange(true)) {
        return;
    }
    if (OnFailure) {
        OnFailure(what);
    }
}

std::string TOruScomm::DroppedRecordsText() const {
    const uint32_t dropped = DroppedRecords();
    if (dropped == 0) {
        return std::string();
    }
    return std::to_string(dropped) + (dropped == 1 ? " record" : " records") +
           " dropped: the traffic queue was busy";
}

void TOruScomm::EndFailureStreak() {
    m_failing = false;
}

void TOruScomm::ReportHangUp() {
    if (!m_hungUp.exchange(true) && OnHangUp) {
        OnHangUp();
    }
}

void TOruScomm::SetLineControl(TDTRFlowControl dtr, TRTSFlowControl rts) {
    try {
        Device->FlowControl().SetControlDTR(dtr);
        Device->FlowControl().SetControlRTS(rts);
    } catch (const EComPort& e) {
        if (NoteFailure(e)) {
            throw EComPortGone(OpenedPort(), e.ErrorCode(), e.SystemError());
        }
        throw;
    }
}

void TOruScomm::SendData(const std::string& text) {
    if (text.empty()) {
        return;
    }
    if (ReceivedDirection == 'B') {
        throw ECom(TappedPortSendText, 1);
    }
    const bool hex = HexSend != 0;
    std::string payload;
    std::string bytes;
    if (hex) {
        payload = NormalizeHex(text);
        if (!IsHexText(payload)) {
            throw ECom(SendDataErrorText, 1);
        }
        bytes = HexToBytes(payload);
    }
    if (m_hungUp && Device->Connected()) {
        // Known to be gone: the write could only fail, or wait out its time-out.
        throw EComPortGone(OpenedPort(), CE_WriteFailed, -1);
    }
    std::optional<TPending> record;
    const uint32_t start = m_sending.Begin(m_clock);
    // Every way out hands the mark back, so a merge never waits on a send that is over.
    struct THandOver {
        TOruScomm& c;
        std::optional<TPending>& record;
        ~THandOver() {
            try {
                c.Hand(c.m_sending, std::move(record));
            } catch (...) {
            }
        }
    } handOver{*this, record};
    try {
        Device->WriteBytes(hex ? bytes : text);
    } catch (const EComPort& e) {
        if (NoteFailure(e)) {
            throw EComPortGone(OpenedPort(), e.ErrorCode(), e.SystemError());
        }
        throw;
    }
    if (hex) {
        TxCount += static_cast<int32_t>(HexByteCount(payload, HexRounding::Down));
    } else {
        TxCount += static_cast<int32_t>(text.size());
        payload = text;
    }
    if (Monitoring == 0) {
        return;
    }
    record.emplace();
    record->text.reserve(HeaderRoom + payload.size());
    record->text.assign(HeaderRoom, ' ');
    record->text += payload;
    record->direction = 'T';
    record->start = start;
    record->end = m_clock.Milliseconds();
    record->timeOfDay = m_clock.TimeOfDay();
}

std::optional<TQueuedRecord> TOruScomm::TakeRecord() {
    TNamedLockGuard guard(m_queueLock, QueueWaitMs);
    if (!guard.Owns() || m_queue.empty()) {
        return std::nullopt;
    }
    TQueuedRecord record = std::move(m_queue.front());
    m_queue.pop_front();
    return record;
}

std::optional<TQueuedRecord> TOruScomm::PeekRecord() const {
    TNamedLockGuard guard(m_queueLock, QueueWaitMs);
    if (!guard.Owns() || m_queue.empty()) {
        return std::nullopt;
    }
    return m_queue.front();
}

bool TOruScomm::QueueRecord(TQueuedRecord record) {
    {
        TNamedLockGuard guard(m_queueLock, QueueWaitMs);
        if (!guard.Owns()) {
            ++m_droppedRecords;
            return false;
        }
        m_queue.push_back(std::move(record));
    }
    if (OnRecordQueued) {
        OnRecordQueued();
    }
    return true;
}

std::optional<size_t> TOruScomm::QueuedRecords() const {
    TNamedLockGuard guard(m_queueLock, QueueWaitMs);
    if (!guard.Owns()) {
        return std::nullopt;
    }
    return m_queue.size();
}

size_t TOruScomm::QueueWaitingInput() {
    const int32_t waiting = Device->InputQueueCount();
    if (waiting <= 0) {
        return 0;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(waiting));
    const int32_t n = Device->ReadBytes(bytes.data(), waiting);
    if (n <= 0) {
        return 0;
    }
    RecordReceived(bytes.data(), static_cast<size_t>(n), m_clock.Milliseconds(), m_readTail.load());
    return static_cast<size_t>(n);
}

void TOruScomm::RecordReceived(const uint8_t* data, size_t n, uint32_t t0, uint32_t tailMs) {
    // The payload of a burst can be megabytes of hex; it is formatted before the lock is
    // taken, behind room for the usual header, so the lock is held only for the gap and
    // the append.
    const TOruScomm& owner = SwitchesOwner();
    TPending record;
    record.text.assign(HeaderRoom, ' ');
    if (owner.HexReceive != 0) {
        AppendBytesToHex(record.text, data, n, Separator);
    } else {
        record.text.append(reinterpret_cast<const char*>(data), n);
    }
    record.direction = ReceivedDirection;
    record.start = t0;
    record.end = m_clock.Milliseconds() - tailMs;
    record.timeOfDay = m_clock.TimeOfDay();
    record.received = static_cast<int32_t>(n);
    record.counter = &RxCount;
    Hand(m_receiving, std::move(record));
}

const TOruScomm& TOruScomm::SwitchesOwner() {
    std::lock_guard<std::mutex> guard(m_mergeLock);
    return m_merge != nullptr ? m_merge->First() : *this;
}

void TOruScomm::Hand(TStartMark& mark, std::optional<TPending> record) {
    TOruScomm* queuedInto = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_mergeLock);
        if (m_merge != nullptr) {
            if (m_merge->Arrive(mark, std::move(record))) {
                queuedInto = &m_merge->First();
            }
        } else {
            // A send and a burst are handed over by two threads in either order: an echo
            // read by a receive thread that ran first must not be shown above the line that
            // caused it. Each record waits until no record that began before it can still
            // come, as the merge of two ports does.
            if (record) {
                // Within one millisecond a send goes before a burst.
                const auto before = [&record](const TPending& held) {
                    return StartsBefore(record->start, held.start) ||
                           (record->start == held.start && record->direction == 'T' &&
                            held.direction != 'T');
                };
                auto at = m_held.end();
                while (at != m_held.begin() && before(*std::prev(at))) {
                    --at;
                }
                m_held.insert(at, std::move(*record));
            }
            mark.End();
            // The clock before the marks: a mark seen idle starts its next record after it.
            // While a record is being made, only those that began strictly before it go
            // (within one millisecond an echo cannot be told from its send, and goes after).
            const uint32_t now = m_clock.Milliseconds();
            const bool settled = m_sending.Idle() && m_receiving.Idle();
            if (const std::optional<uint32_t> bound = Bound(now)) {
                while (!m_held.empty() && (settled ? !StartsBefore(*bound, m_held.front().start)
                                                   : StartsBefore(m_held.front().start, *bound))) {
                    if (QueuePending(m_held.front())) {
                        queuedInto = this;
                    }
                    m_held.pop_front();
                }
            }
        }
    }
    if (queuedInto != nullptr && queuedInto->OnRecordQueued) {
        queuedInto->OnRecordQueued();
    }
}

bool TOruScomm::QueuePending(TPending& record) {
    TNamedLockGuard guard(m_queueLock, QueueWaitMs);
    if (!guard.Owns()) {
        ++m_droppedRecords;
        return false;
    }
    if (record.counter != nullptr) {
        *record.counter += record.received;
    }
    const uint32_t gap = record.start - m_lastTrafficTime;
    m_lastTrafficTime = record.end;
    const std::string header = TrafficRecordHeader(record.direction, record.timeOfDay, gap);
    if (header.size() == HeaderRoom) {
        std::memcpy(record.text.data(), header.data(), HeaderRoom);
    } else {
        record.text.replace(0, HeaderRoom, header);
    }
    m_queue.emplace_back(std::move(record.text), record.start);
    return true;
}

std::optional<uint32_t> TOruScomm::Bound(uint32_t now) const {
    const std::optional<uint32_t> receiving = m_receiving.Bound(now);
    const std::optional<uint32_t> sending = m_sending.Bound(now);
    if (!receiving || !sending) {
        return std::nullopt;
    }
    return StartsBefore(*sending, *receiving) ? *sending : *receiving;
}

namespace {

// A receive thread asks to run the moment it is woken: on busy cores a thread woken late
// stamps its burst late, which puts it after a later burst of a tapped port, and a reader
// held up past the record gap reads two bursts as one record. It goes back to ordinary
// scheduling to make a record of more than PromptRecordBytes (a flood, which could
// otherwise keep a core from every other program), and asks again for its next wait.
thread_local TPromptWake t_receiveWake;
constexpr uint32_t PromptRecordBytes = 262144;

} // namespace

TOruComThread::TOruComThread(TOruScomm& connection, std::function<void(uint32_t ms)> pause)
    : Connection(connection), ReadBuffer(new uint8_t[ReadBufferSize]), m_pause(std::move(pause)) {
    // The thread asks to be woken promptly (t_receiveWake) and makes big records at normal
    // priority. On Linux the kernel's receive buffer is far smaller than a 1 MiB driver
    // queue, so a reader that yields to every other thread loses data; on Windows no byte
    // would be lost, but a reader starved by a busy user interface stamps its bursts late and
    // merges them.
    m_thread = std::thread([this] { Run(); });
}

TOruComThread::~TOruComThread() {
    Stop();
}

void TOruComThread::Park() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_parkCount;
}

void TOruComThread::Unpark() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_parkCount > 0) {
            --m_parkCount;
        }
    }
    m_changed.notify_all();
}

int TOruComThread::ParkCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_parkCount;
}

bool TOruComThread::Parked() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_parked;
}

bool TOruComThread::WaitUntilParked(std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, bound, [this] { return m_parked || m_stop; }) && m_parked;
}

void TOruComThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_stopEvent.Set();
    try {
        Connection.ClosePort();
    } catch (...) {
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void TOruComThread::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_parkCount > 0 && !m_stop) {
                m_parked = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return m_parkCount == 0 || m_stop; });
                m_parked = false;
            }
            if (m_stop) {
                return;
            }
        }
        bool ok = false;
        // A device that went away is handed to the owner, once; any other failure is told
        // once per streak. The loop goes on after a pause either way, until the owner closes
        // the port and parks it. Nothing may leave the thread: it would end the program.
        try {
            ok = Pass();
            if (ok) {
                Connection.EndFailureStreak();
            } else {
                // Nothing came although data was announced: the device node may be gone.
                Connection.NoteFailure(EComPort(CE_ReadFailed));
            }
        } catch (const EComPort& e) {
            try {
                if (!Connection.NoteFailure(e)) {
                    Connection.ReportFailure(e.what());
                }
            } catch (...) {
            }
        } catch (const std::exception& e) {
            try {
                Connection.ReportFailure(e.what());
            } catch (...) {
            }
        } catch (...) {
            try {
                Connection.ReportFailure("unknown error");
            } catch (...) {
            }
        }
        if (!ok) {
            if (m_pause) {
                m_pause(FailurePauseMs);
            } else {
                DefaultPause(FailurePauseMs);
            }
        }
    }
}

bool TOruComThread::Pass() {
    TOruScomm& c = Connection;
    TComEvents events{evRxChar, evCTS, evDSR, evRLSD};
    TPromptWake& wake = t_receiveWake;
    wake.Enter();
    c.Device->WaitLineEvents(events, &m_stopEvent, -1);
    // The burst's start is the moment the wait saw its first bytes, taken before any other
    // work: the merge with a tapped port orders by it, and each step before it would count
    // against this port whenever the thread is held up.
    const bool input = events.Contains(evRxChar);
    const uint32_t t0 = input ? c.m_receiving.Begin(c.m_clock) : 0;
    // A pass that ends without a record hands its mark back all the same, so a merge never
    // waits on a burst that did not come.
    struct TEndWithoutRecord {
        TOruScomm& c;
        bool recorded;
        ~TEndWithoutRecord() {
            if (!recorded) {
                try {
                    c.Hand(c.m_receiving, std::nullopt);
                } catch (...) {
                }
            }
        }
    } endWithoutRecord{c, !input};

    uint32_t status = 0;
    if (c.Device->Driver().GetCommModemStatus(status)) {
        const auto set = [](std::atomic<uint8_t>& line, bool on) {
            const uint8_t value = on ? 1 : 0;
            return line.exchange(value) != value;
        };
        const bool cts = set(c.CtsOn, (status & ComMsCtsOn) != 0);
        const bool dsr = set(c.DsrOn, (status & ComMsDsrOn) != 0);
        const bool rlsd = set(c.RlsdOn, (status & ComMsRlsdOn) != 0);
        if ((cts || dsr || rlsd) && c.OnLinesChanged) {
            c.OnLinesChanged();
        }
    }
    if (events.Empty()) {
        // An endless wait that reports nothing was cut short (stop, or a line that hung up).
        return false;
    }
    if (!input) {
        return true;
    }
    // Without a gap the read window alone ends a burst, whatever the test would say.
    const TFrameEndTest frameEnd = c.m_recordGap.load() != 0 ? c.m_frameEnd.load() : nullptr;
    int32_t n = c.Device->ReadBytes(ReadBuffer.get(), static_cast<int32_t>(ReadBufferSize));
    if (n <= 0) {
        // Data announced but none delivered: a hung-up line does this on every pass.
        return false;
    }
    // The read ended about one gap (or one window) after the burst's last byte.
    uint32_t tail = c.m_readTail.load();
    if (frameEnd != nullptr) {
        n = ReadToFrameEnd(frameEnd, n, t0, tail);
    }
    if (static_cast<uint32_t>(n) > PromptRecordBytes) {
        // A flood of input makes big records; they are made as ordinary work.
        wake.Leave();
    }
    if (c.SwitchesOwner().Monitoring == 0) {
        return true;
    }
    endWithoutRecord.recorded = true;
    c.RecordReceived(ReadBuffer.get(), static_cast<size_t>(n), t0, tail);
    return true;
}

int32_t TOruComThread::ReadToFrameEnd(TFrameEndTest frameEnd, int32_t n, uint32_t t0,
                                      uint32_t& tailMs) {
    TOruScomm& c = Connection;
    constexpr auto Size = static_cast<int32_t>(ReadBufferSize);
    tailMs = 0;
    while (!frameEnd(ReadBuffer.get(), static_cast<size_t>(n))) {
        // A stream without a pause is cut at the window, as a single read would cut it.
        if (n >= Size || c.m_clock.Milliseconds() - t0 >= c.m_readWindow.load()) {
            return n;
        }
        int32_t more = 0;
        try {
            more = c.Device->ReadBytes(ReadBuffer.get() + n, Size - n);
        } catch (const EComPort&) {
            // The bytes read are recorded; the failure shows again at the next pass.
            return n;
        }
        if (more <= 0) {
            // The gap passed without a byte (the reads wait for the first byte that long).
            tailMs = std::min(c.m_recordGap.load(), c.m_readWindow.load());
            return n;
        }
        n += more;
    }
    return n;
}

void TOruComThread::DefaultPause(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop; });
}
