#pragma once
// The serial connection: the program's one link to the serial line. It owns the port
// device, gives it the fixed configuration, writes outgoing data and keeps the counters and
// modem-line states of the status bar. Its receive thread turns every received burst into
// one traffic record; sent data is recorded into the same queue, so both directions read in
// the order in which they happened.

#include "platform/NamedLock.h"
#include "platform/Platform.h"
#include "serial/ComPort.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

// Error of the connection. Handlers show ErrorText, and Reason under it when there is one.
class ECom : public std::exception {
public:
    ECom(std::string text, int32_t code, std::string reason = std::string())
        : ErrorCode(code), ErrorText(std::move(text)), Reason(std::move(reason)) {}
    const char* what() const noexcept override { return ErrorText.c_str(); }

    int32_t ErrorCode;
    std::string ErrorText;
    // What the system says went wrong, in words a user can act on; may be empty.
    std::string Reason;
};

// A port call failed because the device went away (IsHangUpError, or its node is gone):
// the message names the port instead of giving an error code.
class EComPortGone : public EComPort {
public:
    EComPortGone(const std::string& port, int32_t code, int32_t systemError);
    const char* what() const noexcept override { return m_text.c_str(); }
    const std::string& Port() const { return m_port; }

private:
    std::string m_port;
    std::string m_text;
};

extern const char* const OpenPortErrorText; // "Open port failure,it may be opened by ..."
extern const char* const SendDataErrorText; // "The sending data is not hexadecimal format."
// A send to a port that is only tapped (TOruScomm::ReceivedDirection 'B').
extern const char* const TappedPortSendText;
// Leads what OnFailure tells of the receive thread's failures.
extern const char* const ReceivingFailedText; // "Receiving failed: "

// a before b on a millisecond clock that wraps.
inline bool StartsBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// One line of traffic: "R" or "T" ("B" for a tapped second port), "[", time of day, the
// gap, "]", payload. The traffic engine splits it at the first "]", so no header may
// contain one before its end.
using TrafficRecord = std::string;

// A record as it waits in the queue, with the moment its burst began (or its send started)
// on the connection's clock: the merge with a tapped port orders by it. A record queued
// from elsewhere has 0.
struct TQueuedRecord : TrafficRecord {
    TQueuedRecord() = default;
    TQueuedRecord(TrafficRecord text, uint32_t start = 0)
        : TrafficRecord(std::move(text)), Start(start) {}
    TQueuedRecord(const char* text, uint32_t start = 0) : TrafficRecord(text), Start(start) {}
    uint32_t Start = 0;
};

// Where a producer of records (a receive thread, a sender) stands, for the merge of two
// ports: idle, about to read the clock, or with a record under way since a time. A record
// it has not handed over yet cannot have begun before Bound().
class TStartMark {
public:
    uint32_t Begin(Clock& clock);
    void End() { m_state = IdleState; }
    // No record of this mark's thread is being made.
    bool Idle() const { return m_state.load() == IdleState; }
    // The earliest start of a record still to come, given `now` read before this call;
    // std::nullopt while the clock is being read.
    std::optional<uint32_t> Bound(uint32_t now) const;

private:
    static constexpr uint64_t IdleState = 0;
    static constexpr uint64_t Stamping = 1;
    static constexpr uint64_t Since = uint64_t{1} << 32;
    std::atomic<uint64_t> m_state{IdleState};
};

class TTrafficMerge;

// Whether the bytes a burst has brought so far are one whole frame of the protocol the
// traffic is decoded as (ModbusRtuWholeFrame for Modbus RTU). Called on the receive thread
// after every read of a burst, so it must be quick and keep no state.
using TFrameEndTest = bool (*)(const uint8_t* data, size_t n);

// Text read line by line: a burst whose bytes so far end with a line feed (or, for devices
// that end their lines with a carriage return alone, with either) is a whole line, shown at
// once instead of after the gap. A line end inside the burst does not cut it.
bool EndsWithLineFeed(const uint8_t* data, size_t n);
bool EndsWithLineEnd(const uint8_t* data, size_t n);

// "R[hh:nn:ss  15]" and the like: the gap in milliseconds right-aligned in three places, or
// " ---" when it is 1000 or more (a negative difference wraps to a large value, so it shows
// " ---" too).
std::string TrafficRecordHeader(char direction, std::string_view timeOfDay, uint32_t gap);

// The name under which every copy of the program shares the queue lock.
inline constexpr const char* TrafficQueueLockName = "OruComThread";

class TOruComThread;

class TOruScomm {
public:
    // Every wait for the queue lock gives up after this long; the burst or record is
    // dropped then instead of blocking either thread.
    static constexpr uint32_t QueueWaitMs = 200;
    // The read window of the receive thread (the read time-outs below).
    static constexpr uint32_t ReadWindowMs = 100;
    static constexpr int32_t QueueSize = 1048576;

    // The device uses the given driver (the system's when none is given); gaps and times of
    // day come from the clock. Tests pass a lock name of their own so that they do not
    // share the program's lock.
    explicit TOruScomm(Clock& clock = SystemClock::Instance(),
                       std::unique_ptr<TComDriver> driver = nullptr,
                       const std::string& lockName = TrafficQueueLockName);
    // Closes the port when it is open. The receive thread must be gone first.
    ~TOruScomm();
    TOruScomm(const TOruScomm&) = delete;
    TOruScomm& operator=(const TOruScomm&) = delete;

    // Raises ECom (OpenPortErrorText, code 1) whatever made the open fail, with the
    // system's reason when it gave one, and the device is closed then. Does nothing when
    // already open.
    void OpenPort();
    // Does nothing when closed; device errors pass through.
    void ClosePort();
    // Writes the text as hex (HexSend 1) or as it is, counts it and records it.
    // Raises ECom (SendDataErrorText) before writing anything when hex text is malformed,
    // EComPort when the write fails, EComPortGone when the device is gone. An empty text
    // does nothing.
    void SendData(const std::string& text);
    // DTR and RTS control of the device, applied at once while open. A device that is
    // gone raises EComPortGone, other failures EComPort.
    void SetLineControl(TDTRFlowControl dtr, TRTSFlowControl rts);
    // Ends a received burst after gapMs of silence: the read waits for the next byte at
    // most that long (the interval time-out) and the record is queued at once. Bursts
    // without such a pause are still cut at the read window, so a record never grows
    // without bound. 0 ends bursts at the read window only, as without this choice.
    // windowMs is the program's fixed window; tests lengthen it. Takes effect at once,
    // also while the port is open.
    void SetRecordGap(uint32_t gapMs, uint32_t windowMs = ReadWindowMs);
    uint32_t RecordGap() const { return m_recordGap.load(); }
    // While a record gap is set, a burst also ends as soon as the bytes read so far pass
    // the test, without waiting for the silence after them: a device's reply is queued the
    // moment its last byte is read. The owner sets it while it decodes the traffic by
    // frames and clears it (nullptr) when it stops. Without a gap only the read window ends
    // a burst, test or not. Takes effect at once, also while the port is open.
    void SetFrameEnd(TFrameEndTest test);
    TFrameEndTest FrameEnd() const { return m_frameEnd.load(); }

    // The oldest record, removed from the queue; none when the queue is empty or its lock
    // could not be had within QueueWaitMs (the record stays queued then).
    std::optional<TQueuedRecord> TakeRecord();
    // A copy of the oldest record, left queued: the one the pump takes next, as it is the
    // only taker. None as for TakeRecord.
    std::optional<TQueuedRecord> PeekRecord() const;
    // Queues a record made elsewhere (a replay of traffic, a test) behind the others, as it
    // is, and calls OnRecordQueued; false, and counted as dropped, when the lock could not
    // be had.
    bool QueueRecord(TQueuedRecord record);
    // How many records wait; none when the lock could not be had.
    std::optional<size_t> QueuedRecords() const;

    std::atomic<uint8_t> HexReceive{1};
    std::atomic<uint8_t> HexSend{1};
    // 0: received bytes are read and thrown away, sent bytes written but not recorded.
    std::atomic<uint8_t> Monitoring{1};
    std::atomic<int32_t> RxCount{0};
    std::atomic<int32_t> TxCount{0};
    std::atomic<uint8_t> CtsOn{0};
    std::atomic<uint8_t> DsrOn{0};
    std::atomic<uint8_t> RlsdOn{0};

    // 'R' for the port the program talks to, 'B' for a second port that is only listened
    // to (TTrafficMerge): its received records carry this mark, and SendData refuses to
    // write to it. Set before the receive thread runs. While merged, the tap's records
    // follow the first port's HexReceive and Monitoring.
    char ReceivedDirection = 'R';

    std::unique_ptr<TComPort> Device;

    // Called after a record has been queued, outside the queue lock, on the thread that
    // queued it (the receive thread for a received burst). The window side uses it to wake
    // a pump that idles while nothing arrives. Set it before the receive thread runs.
    std::function<void()> OnRecordQueued;

    // The modem lines (CtsOn, DsrOn, RlsdOn) changed; called on the receive thread. Set it
    // before the receive thread runs.
    std::function<void()> OnLinesChanged;

    // The device of the open port went away (unplugged, its far end hung up). Called once
    // per open, on the thread that found out (normally the receive thread; a send or a
    // DTR/RTS change that fails for it calls it on theirs), never for a close of our own.
    // The owner closes the port. Set it before the receive thread runs.
    std::function<void()> OnHangUp;
    // True from a hang-up until the next open.
    bool HungUp() const { return m_hungUp.load(); }

    // The receive thread met a failure that is not the device going away (a read the
    // device refuses, an error of its own: "Receiving failed: <what>"), or a thread of the
    // driver did (a network connection's reader, the watch for a server's return): told
    // once per streak of failures, whole, on the thread that met it; never for a close of
    // our own. The owner shows it as it is. Set it before the receive thread runs.
    std::function<void(const std::string& what)> OnFailure;
    // Records dropped because the queue lock could not be had within QueueWaitMs (a burst
    // received, the record of a send, or one queued from elsewhere), since the connection
    // was made.
    uint32_t DroppedRecords() const { return m_droppedRecords.load(); }
    // "<n> records dropped: the traffic queue was busy" for the front ends; empty while
    // none was.
    std::string DroppedRecordsText() const;
    // The name the port was last opened under.
    std::string OpenedPort() const;
    // Judges a failure of a call on the open device: when it means the device is gone,
    // reports the hang-up (once) and returns true.
    bool NoteFailure(const EComPort& e);
    // Reads what waits in the open port's input queue now and queues it as one received
    // record of its own; the receive thread must be parked. Returns the byte count. Raises
    // EComPort when the device fails.
    size_t QueueWaitingInput();

private:
    friend class TOruComThread;
    friend class TTrafficMerge;
    // A record made by the receive thread or a send, before its header is written.
    struct TPending {
        std::string text; // HeaderRoom characters, then the payload
        char direction = 'R';
        uint32_t start = 0;
        // The line's silence after it starts here (m_lastTrafficTime).
        uint32_t end = 0;
        std::string timeOfDay;
        int32_t received = 0; // bytes for RxCount once queued
        std::atomic<int32_t>* counter = nullptr;
    };
    static constexpr size_t HeaderRoom = 15;
    // Steps of the receive thread once a burst is read: count, measure the gap, record.
    // tailMs: how long the read went on after the burst's last byte.
    void RecordReceived(const uint8_t* data, size_t n, uint32_t t0, uint32_t tailMs);
    // The device's read time-outs for the gap, the window and the frame end.
    void ApplyReadTimeouts();
    // Hands a record (or, without one, the end of a pass) over, and ends the producer's
    // mark: to the merge while there is one, else straight into the queue.
    void Hand(TStartMark& mark, std::optional<TPending> record);
    // Writes the header (the gap after m_lastTrafficTime) and queues the record; false when
    // the queue lock could not be had and it was dropped. The caller calls OnRecordQueued.
    bool QueuePending(TPending& record);
    // The connection whose display switches this one's records follow: the first port
    // while merged (it outlives the merge), else this one.
    const TOruScomm& SwitchesOwner();
    // The earliest start of a record this connection has yet to hand over.
    std::optional<uint32_t> Bound(uint32_t now) const;

    void ReportHangUp();
    // OnFailure, unless the port is being closed or the same failure was told last.
    void ReportFailure(const std::string& what);
    // The same for a thread of the driver, also while the port is closed (a return watch).
    void ReportDriverFailure(const std::string& what);
    // A pass went well: the next failure is told again.
    void EndFailureStreak();

    // Placed between two hex pairs of a received record; the receive filter relies on three
    // characters per byte.
    static constexpr std::string_view Separator = " ";
    // Shared by every copy of the program under one name (TrafficQueueLockName); guards the
    // queue and the end of the last record, which the gaps count from.
    mutable TNamedLock m_queueLock;
    std::deque<TQueuedRecord> m_queue;
    uint32_t m_lastTrafficTime = 0;

    Clock& m_clock;
    std::atomic<uint32_t> m_recordGap{0};
    std::atomic<uint32_t> m_readWindow{ReadWindowMs};
    std::atomic<TFrameEndTest> m_frameEnd{nullptr};
    // How long a read lasts after its last byte: the gap, or the whole window without one.
    std::atomic<uint32_t> m_readTail{ReadWindowMs};
    std::atomic<bool> m_hungUp{false};
    std::atomic<bool> m_closing{false};
    std::atomic<uint32_t> m_droppedRecords{0};
    std::atomic<bool> m_failing{false}; // a failure was told and no pass has gone well since
    mutable std::mutex m_portLock;
    std::string m_openedPort; // guarded by m_portLock
    TStartMark m_receiving;   // the receive thread
    TStartMark m_sending;     // SendData
    // Held while a record is handed over, so the merge is never left mid-way.
    std::mutex m_mergeLock;
    TTrafficMerge* m_merge = nullptr; // guarded by m_mergeLock
    // Without a merge: records handed over while the other thread's record that began
    // earlier is still being made, oldest start first (guarded by m_mergeLock).
    std::deque<TPending> m_held;
};

// The receive thread: waits for line events, reads each burst in one call and records it.
// It runs only while its park count is 0; it starts with a count of 1.
class TOruComThread {
public:
    static constexpr uint32_t ReadBufferSize = 1048576;
    // The pause after a pass whose wait or read failed (a device that went away must not
    // make the loop spin).
    static constexpr uint32_t FailurePauseMs = 20;

    // pause: how a failed pass waits before the next one; the default sleeps, cut short by
    // Stop. Tests replace it to count the passes.
    explicit TOruComThread(TOruScomm& connection, std::function<void(uint32_t ms)> pause = nullptr);
    // Stop().
    ~TOruComThread();
    TOruComThread(const TOruComThread&) = delete;
    TOruComThread& operator=(const TOruComThread&) = delete;

    // Park takes effect at the top of the loop, before the next wait, never inside the
    // queue lock. Unpark never takes the count below 0.
    void Park();
    void Unpark();
    int ParkCount() const;
    // True while the loop stands still at its top because it is parked.
    bool Parked() const;
    // Waits until the loop stands parked, at most `bound`; true when it does.
    bool WaitUntilParked(std::chrono::milliseconds bound) const;

    // Ends the thread: closes the port first so that a pending wait or read returns, wakes a
    // parked loop, then joins. Safe to call more than once.
    void Stop();

    TOruScomm& Connection;

private:
    void Run();
    // One pass of the loop; false when it failed and the loop should pause.
    bool Pass();
    // Reads on after the first `n` bytes of a burst until they pass the frame-end test,
    // the gap passes without a byte, or the read window since t0 is over. Gives the byte
    // count and sets how long the reading went on after the last byte.
    int32_t ReadToFrameEnd(TFrameEndTest frameEnd, int32_t n, uint32_t t0, uint32_t& tailMs);
    void DefaultPause(uint32_t ms);

    std::unique_ptr<uint8_t[]> ReadBuffer;
    std::function<void(uint32_t)> m_pause;
    TComStopEvent m_stopEvent;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    int m_parkCount = 1;
    bool m_parked = false;
    bool m_stop = false;
    std::thread m_thread;
};
