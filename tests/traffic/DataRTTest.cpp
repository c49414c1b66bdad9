#include "traffic/DataRT.h"

#include "codec/HexCodec.h"
#include "serial/OruScomm.h"
#include "traffic/EngineFakes.h"
#include "traffic/MemoryTextView.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A port that opens, accepts every setting and keeps every write.
class CaptureDriver : public TComDriver {
public:
    explicit CaptureDriver(std::shared_ptr<std::vector<std::string>> writes)
        : m_writes(std::move(writes)) {}
    bool Open(const std::string&) override { return true; }
    bool Close() override { return true; }
    bool SetupComm(uint32_t, uint32_t) override { return true; }
    bool SetCommState(const TComDcb&) override { return true; }
    bool SetCommTimeouts(const TComTimeoutValues&) override { return true; }
    bool SetCommMask(uint32_t) override { return true; }
    bool WaitCommEvent(uint32_t& events, TComStopEvent*, int32_t) override {
        events = 0;
        return true;
    }
    bool ReadFile(void*, uint32_t, uint32_t& transferred) override {
        transferred = 0;
        return true;
    }
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override {
        m_writes->emplace_back(static_cast<const char*>(data), count);
        transferred = count;
        return true;
    }
    bool PurgeComm(uint32_t) override { return true; }
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override {
        errors = 0;
        inputQueue = 0;
        return true;
    }
    bool GetCommModemStatus(uint32_t& status) override {
        status = 0;
        return true;
    }
    int32_t LastError() const override { return 0; }

private:
    std::shared_ptr<std::vector<std::string>> m_writes;
};

// Days since 1899-12-30 at a time of day, on some day in 2023.
double OleTime(int hour, int minute, int second) {
    return 45000.0 + (hour * 3600 + minute * 60 + second) / 86400.0;
}

class DataRTTest : public ::testing::Test {
protected:
    DataRTTest()
        : sendEdit(focus), traffic(focus), search(focus),
          writes(std::make_shared<std::vector<std::string>>()),
          connection(std::make_unique<TOruScomm>(clock, std::make_unique<CaptureDriver>(writes),
                                                 "KorvaneDataRTTest" + std::to_string(getpid()))),
          engine(std::make_unique<TDataRT>(&sendEdit, &traffic, &search, connection.get(), settings,
                                           clock, prompter, timerFactory.Factory())) {}

    ManualTimer& PumpTimer() { return *timerFactory.timers.at(0); }
    ManualTimer& CycleTimer() { return *timerFactory.timers.at(1); }

    void Tick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            PumpTimer().Fire();
        }
    }
    void Receive(const std::string& payload) {
        connection->QueueRecord("R[12:34:56   5]" + payload);
    }
    // Ticks until the queue is empty, so records made by sends are taken too.
    void Drain() {
        while (connection->QueuedRecords() != 0u) {
            Tick();
        }
    }
    // Every byte written since the last call, one string per write.
    std::vector<std::string> TakeWrites() {
        std::vector<std::string> taken;
        taken.swap(*writes);
        return taken;
    }
    void Apply() { engine->ApplySettings(settings); }

    SettingsRecord settings = SettingsRecord::Fresh();
    MemoryFocus focus;
    MemoryTextView sendEdit;
    MemoryTextView traffic;
    MemoryTextView search;
    ManualClock clock;
    RecordingPrompter prompter;
    ManualTimerFactory timerFactory;
    std::shared_ptr<std::vector<std::string>> writes;
    std::unique_ptr<TOruScomm> connection;
    std::unique_ptr<TDataRT> engine;
};

using Writes = std::vector<std::string>;

TEST_F(DataRTTest, ConstructionSetsUpTimersViewsAndSwitches) {
    ASSERT_EQ(timerFactory.timers.size(), 2u);
    EXPECT_TRUE(PumpTimer().Enabled());
    EXPECT_EQ(PumpTimer().Interval(), 1u);
    EXPECT_FALSE(CycleTimer().Enabled());
    EXPECT_EQ(engine->ActiveView, &traffic);
    EXPECT_FALSE(engine->ShowTime || engine->ShowRxTx || engine->ShowSending || engine->TriggersOn);
    EXPECT_TRUE(engine->ShowReceived);
    for (MemoryTextView* view : {&sendEdit, &traffic, &search}) {
        EXPECT_TRUE(view->OnMouseDown && view->OnMouseMove && view->OnMouseUp);
    }
    engine.reset();
    EXPECT_FALSE(traffic.OnMouseDown || traffic.OnMouseMove || traffic.OnMouseUp);
}

TEST_F(DataRTTest, PrefixFollowsBothSwitchesForBothDirections) {
    struct Case {
        bool showTime;
        bool showRxTx;
        const char* received;
        const char* sent;
        const char* tapped; // a tapped second port's lines are always marked
    };
    const Case cases[] = {
        {true, true, "[12:34:56   5 Rx] ", "[12:00:01 --- Tx] ", "[12:00:02  17 <B] "},
        {true, false, "[12:34:56   5] ", "[12:00:01 ---] ", "[12:00:02  17 <B] "},
        {false, true, "[R x] ", "[T x] ", "[ <B] "},
        {false, false, "", "", "[ <B] "},
    };
    engine->ShowSending = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("showTime ") + (c.showTime ? "on" : "off") + ", showRxTx " +
                     (c.showRxTx ? "on" : "off"));
        traffic.Clear();
        engine->ShowTime = c.showTime;
        engine->ShowRxTx = c.showRxTx;
        Receive("01 03 02");
        connection->QueueRecord("T[12:00:01 ---]01 03 00 00 00 0A ");
        connection->QueueRecord("B[12:00:02  17]01 03 02 00 07 ");
        Tick(3);
        EXPECT_EQ(traffic.Text(), std::string(c.received) + "01 03 02\r\n" + c.sent +
                                      "01 03 00 00 00 0A \r\n" + c.tapped + "01 03 02 00 07 \r\n");
    }
}

TEST_F(DataRTTest, LinesGoToTheEndInGreyPrefixAndDirectionColour) {
    settings.receiveTextColor = 0x00C80000;
    settings.sendTextColor = 0x000000C8;
    engine->ShowTime = true;
    engine->ShowSending = true;
    traffic.SetText("earlier\r\n");
    traffic.SetCaret(0, 2);

    Receive("01 02");
    connection->QueueRecord("T[12:34:57   1]03 ");
    Tick(2);

    EXPECT_EQ(traffic.Text(), "earlier\r\n[12:34:56   5] 01 02\r\n[12:34:57   1] 03 \r\n");
    const auto& runs = traffic.Runs();
    ASSERT_EQ(runs.size(), 4u);
    const uint32_t colours[] = {TrafficPrefixColor, 0x00C80000, TrafficPrefixColor, 0x000000C8};
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].attributes.color, colours[i]) << "run " << i;
        EXPECT_EQ(runs[i].attributes.fontName, "Courier New");
        EXPECT_EQ(runs[i].attributes.charset, 0);
    }
}

// A tapped port's lines: received text in their own colour, through the same filter and
// pause as the first port's.
TEST_F(DataRTTest, TappedLinesHaveTheirColourAndPassTheReceiveFilter) {
    engine->TapTextColor = 0x00123456;
    settings.filterEnabled = true;
    settings.filterEntries[0] = {1, "01"};
    connection->QueueRecord("B[12:34:57   1]01 02 ");
    connection->QueueRecord("B[12:34:57   1]02 02 ");
    Receive("02 03");
    Tick(3);
    EXPECT_EQ(traffic.Text(), "[ <B] 01 02 \r\n");
    ASSERT_EQ(traffic.Runs().size(), 2u);
    EXPECT_EQ(traffic.Runs()[1].attributes.color, 0x00123456u);
    EXPECT_TRUE(traffic.Runs()[1].attributes.receivedHex);

    engine->ApplyPause(true);
    connection->QueueRecord("B[12:34:57   1]01 05 ");
    Tick();
    EXPECT_EQ(connection->QueuedRecords(), 0u);
    EXPECT_EQ(traffic.Text(), "[ <B] 01 02 \r\n");
}

TEST_F(DataRTTest, HiddenDirectionsAreDroppedButStillTaken) {
    engine->ShowSending = false;
    engine->ApplyPause(true);
    Receive("01");
    connection->QueueRecord("T[12:34:57   1]02 ");
    Tick(2);
    EXPECT_EQ(connection->QueuedRecords(), 0u);
    EXPECT_EQ(traffic.Text(), "");

    engine->ApplyPause(false);
    Receive("03");
    Tick();
    EXPECT_EQ(traffic.Text(), "03\r\n");
}

TEST_F(DataRTTest, ARecordMovesTheFocusFromTheTrafficViewToTheSendEditor) {
    traffic.SetFocus();
    Tick();
    EXPECT_TRUE(traffic.HasFocus()) << "no record, no move";
    Receive("01");
    Tick();
    EXPECT_TRUE(sendEdit.HasFocus());
}

TEST(ReceiveFilter, ComparesTheDigitsOfEachActiveEntry) {
    SettingsRecord settings = SettingsRecord::Fresh();
    settings.filterEnabled = true;
    settings.filterEntries[0] = {3, "0A"};
    settings.filterEntries[1] = {0, "FF"}; // inactive: no byte number
    settings.filterEntries[2] = {2, ""};   // inactive: no value
    struct Case {
        const char* payload;
        bool shown;
    };
    const Case cases[] = {
        {"01 03 0A 04", true}, {"01 03 0A", true},     {"01 03 0B 04", false},
        {"01 03", false},      {"01 03 0a 04", false}, {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PassesReceiveFilter(c.payload, settings), c.shown) << c.payload;
    }

    settings.filterEntries[4] = {1, "01"};
    EXPECT_TRUE(PassesReceiveFilter("01 03 0A", settings));
    EXPECT_FALSE(PassesReceiveFilter("02 03 0A", settings));

    // No payload has a byte before the first: a negative byte number hides every line.
    settings.filterEntries[4] = {-1, "01"};
    EXPECT_FALSE(PassesReceiveFilter("01 03 0A", settings));

    settings.filterEnabled = false;
    EXPECT_TRUE(PassesReceiveFilter("02 03 0B", settings));
}

TEST_F(DataRTTest, TheFilterHidesReceivedLinesOnly) {
    settings.filterEnabled = true;
    settings.filterEntries[0] = {3, "0A"};
    engine->ShowSending = true;
    Receive("01 03 0A 04");
    Receive("01 03 0B 04");
    Receive("01 03");
    connection->QueueRecord("T[12:34:57   1]FF ");
    Drain();
    EXPECT_EQ(traffic.Text(), "01 03 0A 04\r\nFF \r\n");
}

TEST_F(DataRTTest, ApplySettingsPushesTheEngineShare) {
    settings.showTime = true;
    settings.showRxTx = true;
    settings.showSending = false;
    settings.asciiReceive = true;
    settings.asciiSend = false;
    settings.wordWrap = true;
    settings.cycleSendEnabled = true;
    settings.cycleInterval = 250;
    settings.cycleRangeTo = 7;
    settings.receiveTriggerEnabled = true;
    settings.receiveTriggerDelay = 33;
    Apply();
    EXPECT_TRUE(engine->ShowTime);
    EXPECT_TRUE(engine->ShowRxTx);
    EXPECT_FALSE(engine->ShowSending);
    EXPECT_EQ(connection->HexReceive, 0);
    EXPECT_EQ(connection->HexSend, 1);
    EXPECT_TRUE(traffic.WordWrap());
    EXPECT_FALSE(sendEdit.WordWrap());
    EXPECT_TRUE(CycleTimer().Enabled());
    EXPECT_EQ(CycleTimer().Interval(), 250u);
    EXPECT_EQ(engine->CycleSnapshot().cycleRangeTo, 7);
    EXPECT_EQ(engine->TriggerSnapshot().receiveTriggerDelay, 33u);
    EXPECT_TRUE(engine->TriggersOn);

    // The snapshots are copies: later edits of the record do not reach the engine.
    settings.cycleRangeTo = 9;
    EXPECT_EQ(engine->CycleSnapshot().cycleRangeTo, 7);

    settings.cycleInterval = 0; // a record never confirmed in the send options dialog
    Apply();
    EXPECT_EQ(CycleTimer().Interval(), 20u);

    settings.cycleSendEnabled = false;
    settings.receiveTriggerEnabled = false;
    settings.timingTriggerEnabled = true;
    settings.asciiSend = true;
    settings.wordWrap = false;
    Apply();
    EXPECT_FALSE(traffic.WordWrap());
    EXPECT_FALSE(CycleTimer().Enabled());
    EXPECT_TRUE(engine->TriggersOn);
    EXPECT_EQ(connection->HexSend, 0);
    settings.timingTriggerEnabled = false;
    Apply();
    EXPECT_FALSE(engine->TriggersOn);
}

// --- sending ---

class SendingTest : public DataRTTest {
protected:
    SendingTest() {
        sendEdit.SetText("01\r\n02\r\nzz\r\n04\r\n05");
        connection->OpenPort();
    }
    void StartCycle() {
        settings.cycleSendEnabled = true;
        settings.cycleInterval = 100;
        Apply();
    }
};

TEST_F(SendingTest, SendCursorLineSendsTheCaretLineOrReportsNonHexText) {
    sendEdit.SetCaret(1, 1);
    engine->SendCursorLine();
    EXPECT_EQ(TakeWrites(), Writes{"\x02"});
    EXPECT_TRUE(prompter.boxes.empty());

    sendEdit.SetCaret(2, 0);
    engine->SendCursorLine();
    EXPECT_TRUE(TakeWrites().empty());
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].text, "String is not the Hex format.\r\n\r\nIf send ASCII data, "
                                      "please switch to ASCII mode.");
    EXPECT_EQ(prompter.boxes[0].caption, "Send");
    EXPECT_EQ(prompter.boxes[0].owner, PromptOwner::SendWindow);

    connection->HexSend = 0;
    engine->SendCursorLine();
    EXPECT_EQ(TakeWrites(), Writes{"zz"});
}

TEST_F(SendingTest, LinesTheEditorDoesNotHaveAndAClosedPortSendNothing) {
    engine->SendLine(5);
    engine->SendLine(0xFFFFFFFFu);
    EXPECT_TRUE(TakeWrites().empty());
    connection->ClosePort();
    engine->SendLine(0);
    EXPECT_TRUE(TakeWrites().empty());
    EXPECT_EQ(connection->TxCount, 0);
}

TEST_F(SendingTest, CycleRangeRepeatsAndResumesWhereItStopped) {
    settings.cycleUseRange = true;
    settings.cycleRangeFrom = 2;
    settings.cycleRangeTo = 4;
    sendEdit.SetText("01\r\n02\r\n03\r\n04\r\n05");
    StartCycle();
    EXPECT_EQ(CycleTimer().Interval(), 100u);
    for (int i = 0; i < 5; ++i) {
        CycleTimer().Fire();
    }
    EXPECT_EQ(TakeWrites(), (Writes{"\x02", "\x03", "\x04", "\x02", "\x03"}));

    settings.cycleSendEnabled = false;
    Apply();
    CycleTimer().Fire();
    EXPECT_TRUE(TakeWrites().empty());
    StartCycle();
    CycleTimer().Fire();
    CycleTimer().Fire();
    EXPECT_EQ(TakeWrites(), (Writes{"\x04", "\x02"}));
}

TEST_F(SendingTest, CycleAdvancesWithThePortClosed) {
    settings.cycleUseRange = true;
    settings.cycleRangeFrom = 2;
    settings.cycleRangeTo = 4;
    StartCycle();
    connection->ClosePort();
    CycleTimer().Fire();
    CycleTimer().Fire();
    EXPECT_EQ(engine->CycleCursor, 4u);
    EXPECT_TRUE(TakeWrites().empty());
    connection->OpenPort();
    CycleTimer().Fire();
    EXPECT_EQ(TakeWrites(), Writes{"\x04"});
}

TEST_F(SendingTest, ARangeStartingAfterItsEndSendsItsFirstLineEveryTime) {
    settings.cycleUseRange = true;
    settings.cycleRangeFrom = 4;
    settings.cycleRangeTo = 2;
    StartCycle();
    CycleTimer().Fire();
    CycleTimer().Fire();
    EXPECT_EQ(TakeWrites(), (Writes{"\x04", "\x04"}));
}

TEST_F(SendingTest, ANonHexCycleLineStopsTheTimerBeforeOneBox) {
    struct Case {
        bool thisLine;
        const char* box;
    };
    // The fixed line is 3; the caret stands in line 3 as well, so both name "zz".
    for (const Case& c : {Case{false, "Line 3 is not the right format."},
                          Case{true, "Line 3 is not the right format."}}) {
        prompter.boxes.clear();
        settings.cycleThisLine = c.thisLine;
        settings.cycleFixedLine = 3;
        sendEdit.SetCaret(2, 1);
        StartCycle();
        bool runningAtBox = true;
        prompter.onWarning = [&] { runningAtBox = CycleTimer().Enabled(); };
        CycleTimer().Fire();
        CycleTimer().Fire();
        EXPECT_FALSE(runningAtBox);
        ASSERT_EQ(prompter.boxes.size(), 1u);
        EXPECT_EQ(prompter.boxes[0].text, c.box);
        EXPECT_EQ(prompter.boxes[0].caption, "Send");
        EXPECT_EQ(prompter.boxes[0].owner, PromptOwner::SendWindow);
    }
    // The caret line is reported, not the fixed line.
    prompter.boxes.clear();
    settings.cycleThisLine = true;
    sendEdit.SetText("zz\r\nzz");
    sendEdit.SetCaret(1, 0);
    StartCycle();
    CycleTimer().Fire();
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].text, "Line 2 is not the right format.");
}

// --- time-of-day trigger ---

class TimeTriggerTest : public SendingTest {
protected:
    TimeTriggerTest() {
        sendEdit.SetText("01\r\n02\r\n03\r\nzz");
        settings.timingTriggerEnabled = true;
        settings.timingTriggerTime = OleTime(12, 0, 0);
        settings.timingInterval = 500;
    }
    // Ticks every step milliseconds for the given span; gives the time of each write
    // (milliseconds since the start of the span) with its bytes.
    std::vector<std::pair<uint32_t, std::string>> Run(uint32_t span, uint32_t step = 100) {
        std::vector<std::pair<uint32_t, std::string>> sent;
        for (uint32_t t = 0; t <= span; t += step) {
            if (t != 0) {
                clock.Advance(step);
            }
            Tick();
            for (std::string& w : TakeWrites()) {
                sent.emplace_back(t, std::move(w));
            }
        }
        return sent;
    }
};

TEST_F(TimeTriggerTest, ARangeGoesOutOneLinePerIntervalAcrossTheCounterWrap) {
    settings.timingUseRange = true;
    settings.timingRangeFrom = 1;
    settings.timingRangeTo = 3;
    Apply();
    clock.SetDayTime(11, 59, 59);
    clock.ms = 0xFFFFFE00u;
    Run(900); // arms the trigger in the second before
    EXPECT_EQ(engine->TimeState(), 1);
    clock.Advance(100); // 12:00:00.000
    const auto sent = Run(2500);
    const std::vector<std::pair<uint32_t, std::string>> expected = {
        {500, "\x01"}, {1000, "\x02"}, {1500, "\x03"}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(engine->TimeState(), 1) << "range done: back to waiting for the next day";
    EXPECT_TRUE(engine->TriggersOn);
}

TEST_F(TimeTriggerTest, SwitchedOnInsideTheTriggerSecondItWaitsForTheNextDay) {
    settings.timingFixedLine = 2;
    clock.SetDayTime(12, 0, 0, 200);
    Apply();
    EXPECT_TRUE(Run(2000).empty());
    clock.SetDayTime(23, 59, 59, 900);
    Tick();
    clock.SetDayTime(12, 0, 0, 0); // the next day
    const auto sent = Run(1000);
    const std::vector<std::pair<uint32_t, std::string>> expected = {{500, "\x02"}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(engine->TimeState(), 1);
}

TEST_F(TimeTriggerTest, ANonHexLineSwitchesBothTriggersOffBeforeTheBox) {
    settings.timingThisLine = true;
    sendEdit.SetCaret(3, 0);
    clock.SetDayTime(11, 59, 59, 900);
    Apply();
    Tick();
    bool onAtBox = true;
    prompter.onWarning = [&] { onAtBox = engine->TriggersOn; };
    clock.Advance(100);
    Run(1000);
    EXPECT_FALSE(onAtBox);
    EXPECT_EQ(engine->TimeState(), 0);
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].text, "Line 4 is not the right format.");
}

// --- receive trigger ---

class ReceiveTriggerTest : public SendingTest {
protected:
    ReceiveTriggerTest() {
        sendEdit.SetText("01 03 00 0a 00 01\r\nAA BB\r\n\r\nCC\r\nzz");
        settings.receiveTriggerEnabled = true;
        settings.receiveTriggers[0] = {1, 2};
        settings.receiveTriggerDelay = 100;
        Apply();
    }
    // Ticks every 10 ms for the span; the time of each write since the start of the span.
    std::vector<std::pair<uint32_t, std::string>> Run(uint32_t span) {
        std::vector<std::pair<uint32_t, std::string>> sent;
        for (uint32_t t = 0; t <= span; t += 10) {
            if (t != 0) {
                clock.Advance(10);
            }
            Tick();
            for (std::string& w : TakeWrites()) {
                sent.emplace_back(t, std::move(w));
            }
        }
        return sent;
    }
    using Sends = std::vector<std::pair<uint32_t, std::string>>;
};

TEST_F(ReceiveTriggerTest, AWholeBurstEqualToThePatternSendsTheLineAfterTheDelay) {
    struct Case {
        const char* payload;
        bool match;
    };
    const Case cases[] = {
        {"01 03 00 0A 00 01", true},     {"01 03 00 0a 00 01", true}, {"0103000A\r\n 0001", true},
        {"01 03 00 0A 00 01 02", false}, {"01 03 00 0A 00", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        Receive(c.payload);
        const Sends expected = c.match ? Sends{{100, "\xAA\xBB"}} : Sends{};
        EXPECT_EQ(Run(300), expected);
        Drain();
    }
}

TEST_F(ReceiveTriggerTest, OfTwoEqualPatternsTheLowerRowFires) {
    settings.receiveTriggers[0] = {0, 4}; // unused row
    settings.receiveTriggers[1] = {1, 2};
    settings.receiveTriggers[2] = {1, 4};
    Apply();
    Receive("01 03 00 0A 00 01");
    EXPECT_EQ(Run(200), (Sends{{100, "\xAA\xBB"}}));
    EXPECT_EQ(engine->RecvRow(), 2);
}

TEST_F(ReceiveTriggerTest, ARecordDuringTheDelayCancelsUnlessItMatches) {
    struct Case {
        const char* record;
        Sends expected;
    };
    const Case cases[] = {
        {"T[12:34:56   5]CC ", {}},
        {"R[12:34:56   5]01 02", {}},
        {"R[12:34:56   5]01 03 00 0A 00 01", {{160, "\xAA\xBB"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        Receive("01 03 00 0A 00 01");
        Sends sent = Run(50);
        connection->QueueRecord(c.record);
        clock.Advance(10);
        for (auto& [t, bytes] : Run(300)) {
            sent.emplace_back(t + 60, std::move(bytes));
        }
        EXPECT_EQ(sent, c.expected);
        Drain();
    }
}

TEST_F(ReceiveTriggerTest, EmptyOrMissingPatternLinesNeverMatch) {
    settings.receiveTriggers[0] = {3, 2}; // an empty line
    settings.receiveTriggers[1] = {9, 2}; // beyond the last line
    Apply();
    Receive(" \r\n ");
    Receive("01");
    EXPECT_TRUE(Run(300).empty());
    EXPECT_EQ(engine->RecvState(), 1);
}

// The trigger answers the first port: the same bytes heard on a tapped port do not start it.
TEST_F(ReceiveTriggerTest, ATappedPortsBurstDoesNotStartIt) {
    connection->QueueRecord("B[12:34:56   5]01 03 00 0A 00 01");
    EXPECT_TRUE(Run(300).empty());
    Receive("01 03 00 0A 00 01");
    EXPECT_EQ(Run(200), (Sends{{100, "\xAA\xBB"}}));
}

TEST_F(ReceiveTriggerTest, HiddenRecordsStillReachTheTrigger) {
    settings.showSending = false;
    settings.filterEnabled = true;
    Apply();
    settings.filterEntries[0] = {1, "FF"};
    Receive("01 03 00 0A 00 01");
    EXPECT_EQ(Run(200), (Sends{{100, "\xAA\xBB"}}));
    Drain();

    settings.filterEnabled = false;
    engine->ApplyPause(true);
    Receive("01 03 00 0A 00 01");
    EXPECT_EQ(Run(200), (Sends{{100, "\xAA\xBB"}}));
    EXPECT_EQ(traffic.Text(), "");
}

TEST_F(ReceiveTriggerTest, RunsOnlyWithTheMasterSwitchAndItsOwnSwitch) {
    settings.receiveTriggerEnabled = false;
    settings.timingTriggerEnabled = true;
    Apply();
    Receive("01 03 00 0A 00 01");
    EXPECT_TRUE(Run(200).empty());

    settings.receiveTriggerEnabled = true;
    Apply();
    engine->TriggersOn = false;
    Receive("01 03 00 0A 00 01");
    EXPECT_TRUE(Run(200).empty());
}

TEST_F(ReceiveTriggerTest, ANonHexLineToSendSwitchesTheTriggersOffBeforeTheBox) {
    settings.receiveTriggers[0] = {1, 5};
    Apply();
    bool onAtBox = true;
    prompter.onWarning = [&] { onAtBox = engine->TriggersOn; };
    Receive("01 03 00 0A 00 01");
    Run(300);
    EXPECT_FALSE(onAtBox);
    EXPECT_EQ(engine->RecvState(), 0);
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].text, "Line 5 is not the right format.");
    EXPECT_EQ(prompter.boxes[0].caption, "Send");
}

// --- mouse hooks ---

TEST_F(DataRTTest, MouseDownCountsTheCaretColumnWithoutThePrefix) {
    struct Case {
        MemoryTextView* view;
        bool hex;
        const char* line;
        int column;
        int expected;
    };
    const Case cases[] = {
        {&traffic, true, "[12:34:56   5 Rx] 01 03 02", 23, 2},
        {&traffic, true, "[12:34:56   5 Rx] 01 03 0", 25, 3},
        {&traffic, true, "01 02 03", 5, 2},
        {&traffic, true, "[abc", 4, 0},
        {&traffic, false, "[R x] hello", 9, 3},
        {&sendEdit, true, "[>>01 02", 8, 2},
        {&sendEdit, false, "hello", 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        connection->HexReceive = c.view == &traffic && c.hex ? 1 : 0;
        connection->HexSend = c.view == &sendEdit && c.hex ? 1 : 0;
        engine->ActiveView = c.view;
        c.view->SetText(std::string("first\r\n") + c.line);
        c.view->SetCaret(1, c.column);
        c.view->MouseDown();
        EXPECT_EQ(engine->ActiveHex, c.hex);
        EXPECT_EQ(engine->CaretColumn, c.expected);
        EXPECT_EQ(engine->CaretLine, 2);
    }
}

TEST_F(DataRTTest, MouseMoveMeasuresTheSelection) {
    traffic.SetText("x 01 02 0 y");
    traffic.Select(1, 8); // " 01 02 0"
    connection->HexReceive = 1;
    traffic.MouseDown();
    traffic.MouseMove();
    EXPECT_EQ(engine->SelectionSize, 2);
    connection->HexReceive = 0;
    traffic.MouseDown();
    traffic.MouseMove();
    EXPECT_EQ(engine->SelectionSize, 8);
}

TEST_F(DataRTTest, CtrlReleaseOverAtMostFourHexBytesRequestsTheValuePopup) {
    struct Case {
        bool ctrl;
        const char* selection;
        const char* decimal; // nullptr: no popup
    };
    const Case cases[] = {
        {true, "7F FF FF FF", "2147483647"}, {true, "FF FF FF FF", "-1"}, {true, " 0a ", "10"},
        {true, "01 02 03 04 05", nullptr},   {false, "01", nullptr},      {true, "0G", nullptr},
        {true, "01\r\n02", nullptr},
    };
    std::vector<ValuePopupRequest> requests;
    engine->OnValuePopup = [&](const ValuePopupRequest& r) { requests.push_back(r); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection);
        requests.clear();
        traffic.SetText(c.selection);
        traffic.Select(0, traffic.Text().size());
        traffic.MouseUp(c.ctrl, 300, 400);
        if (c.decimal == nullptr) {
            EXPECT_TRUE(requests.empty());
            continue;
        }
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].decimal, c.decimal);
        EXPECT_EQ(requests[0].binary, HexToBinGroups(RemoveBlanks(c.selection)));
        EXPECT_EQ(requests[0].x, 300);
        EXPECT_EQ(requests[0].y, 400);
    }
}

} // namespace

namespace {

// The pump may sleep only while a tick finds nothing and no trigger needs the clock; a
// queued record announces itself so that the window side can wake it.
TEST_F(DataRTTest, PumpIsIdleOnlyWithoutRecordsAndTriggers) {
    int wakes = 0;
    connection->OnRecordQueued = [&] { ++wakes; };
    Tick();
    EXPECT_TRUE(engine->PumpIdle());
    Receive("01 02");
    EXPECT_EQ(wakes, 1);
    Tick();
    EXPECT_FALSE(engine->PumpIdle());
    Tick();
    EXPECT_TRUE(engine->PumpIdle());

    settings.receiveTriggerEnabled = true;
    Apply();
    EXPECT_FALSE(engine->PumpIdle());
    settings.receiveTriggerEnabled = false;
    Apply();

    // A sent line is queued as a record, which wakes the pump too.
    sendEdit.InsertText("01 03", TextAttributes{});
    connection->OpenPort();
    engine->SendCursorLine();
    EXPECT_EQ(wakes, 2);
    Tick();
    EXPECT_FALSE(engine->PumpIdle());
}

} // namespace

namespace {

// The pump as the window runs it: after each tick it sleeps for as long as PumpDueIn
// allows (a 1 ms beat for 0) until the span is over or nothing is due. Counts the ticks
// and gives the time of day of every write.
struct ScheduledRun {
    int ticks = 0;
    std::vector<std::pair<uint64_t, std::string>> sent; // (ms of the day, bytes)
    bool sleptUntilWoken = false;
};

class PumpScheduleTest : public DataRTTest {
protected:
    ScheduledRun RunAsScheduled(uint32_t span) {
        ScheduledRun run;
        const uint32_t start = clock.ms;
        while (clock.ms - start <= span) {
            Tick();
            ++run.ticks;
            for (std::string& w : TakeWrites()) {
                run.sent.emplace_back(clock.dayMs, std::move(w));
            }
            const std::optional<uint32_t> due = engine->PumpDueIn();
            if (!due) {
                run.sleptUntilWoken = true;
                break;
            }
            clock.Advance(std::max<uint32_t>(*due, 1));
        }
        return run;
    }
    static uint64_t At(int hour, int minute, int second, int ms = 0) {
        return static_cast<uint64_t>((hour * 60 + minute) * 60 + second) * 1000 +
               static_cast<uint64_t>(ms);
    }
};

TEST_F(PumpScheduleTest, ThePumpSleepsUntilTheNextDueMomentAndIsNeverLate) {
    sendEdit.SetText("01\r\n02\r\n03\r\nAA\r\nBB");
    connection->OpenPort();
    settings.timingTriggerTime = OleTime(12, 0, 0);
    settings.timingFixedLine = 2;
    settings.timingInterval = 500;

    // Nothing switched on: one tick, then sleep until a record or a setting wakes it.
    clock.SetDayTime(11, 0, 0, 250);
    ScheduledRun run = RunAsScheduled(3600000);
    EXPECT_EQ(run.ticks, 1);
    EXPECT_TRUE(run.sleptUntilWoken);

    // A time trigger an hour ahead: a tick at most every MaxPumpSleepMs, the trigger second
    // seen in its first millisecond and the line sent one interval later.
    settings.timingTriggerEnabled = true;
    Apply();
    run = RunAsScheduled(3600000 + 2000);
    EXPECT_LE(run.ticks, 3600000 / static_cast<int>(TDataRT::MaxPumpSleepMs) + 10);
    using Sent = std::vector<std::pair<uint64_t, std::string>>;
    EXPECT_EQ(run.sent, (Sent{{At(12, 0, 0, 500), "\x02"}}));

    // A range: one line per interval, each on time, few ticks between them.
    settings.timingUseRange = true;
    settings.timingRangeFrom = 1;
    settings.timingRangeTo = 3;
    Apply();
    clock.SetDayTime(11, 59, 58, 700);
    run = RunAsScheduled(3500);
    EXPECT_EQ(run.sent, (Sent{{At(12, 0, 0, 500), "\x01"},
                              {At(12, 0, 1, 0), "\x02"},
                              {At(12, 0, 1, 500), "\x03"}}));
    EXPECT_LE(run.ticks, 12);

    // A clock that cannot tell milliseconds of the day: the pump looks every millisecond,
    // as it always did.
    settings.timingUseRange = false;
    Apply();
    clock.knowsMilliseconds = false;
    clock.SetDayTime(11, 59, 59, 0);
    run = RunAsScheduled(1500);
    EXPECT_EQ(run.sent, (Sent{{At(12, 0, 0, 500), "\x02"}}));
    clock.knowsMilliseconds = true;

    // The receive trigger's delay: the pump sleeps through it and answers on time.
    settings.timingTriggerEnabled = false;
    settings.receiveTriggerEnabled = true;
    settings.receiveTriggers[0] = {4, 5};
    settings.receiveTriggerDelay = 250;
    Apply();
    Drain(); // the records of the lines sent above
    clock.SetDayTime(13, 0, 0, 0);
    run = RunAsScheduled(1000);
    EXPECT_EQ(run.ticks, 1);
    EXPECT_TRUE(run.sleptUntilWoken) << "waiting for a record needs no clock";
    Receive("AA");
    run = RunAsScheduled(1000);
    EXPECT_EQ(run.sent, (Sent{{At(13, 0, 0, 250), "\xBB"}}));
    EXPECT_LE(run.ticks, 4);
    EXPECT_TRUE(run.sleptUntilWoken);
}

} // namespace
