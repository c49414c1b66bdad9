// The port device over a recording driver: what it asks of the driver, in which order,
// and what it does when a call fails.

#include "serial/ComPort.h"
#include "serial/FakeComDriver.h"
#include "serial/PortMessages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

struct Device {
    std::shared_ptr<FakeComLog> log = std::make_shared<FakeComLog>();
    TComPort port{std::make_unique<FakeComDriver>(log)};
};

// The configuration the serial connection gives its device.
void ConfigureLikeConnection(TComPort& port) {
    port.SetPort("Com1");
    port.SetBaudRate(br9600);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.FlowControl().SetFlowControl(fcNone);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetControlRTS(rtsEnable);
    port.Timeouts().SetReadInterval(100);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(100);
    port.Timeouts().SetWriteTotalMultiplier(100);
    port.Timeouts().SetWriteTotalConstant(1000);
    port.Buffer().SetInputSize(1048576);
    port.Buffer().SetOutputSize(1048576);
    port.SetEvents(TComEvents());
}

} // namespace

TEST(ComPort, DefaultsOfDeviceAndSettings) {
    Device d;
    const TComPort& p = d.port;
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_EQ(p.BaudRate(), br9600);
    EXPECT_EQ(p.CustomBaudRate(), 9600);
    EXPECT_EQ(p.DataBits(), dbEight);
    EXPECT_EQ(p.StopBits(), sbOneStopBit);
    EXPECT_EQ(p.Events(), TComEvents::All());
    EXPECT_EQ(p.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(p.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    EXPECT_EQ(p.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(p.FlowControl().XonChar(), 0x11);
    EXPECT_EQ(p.FlowControl().XoffChar(), 0x13);
    EXPECT_EQ(p.Parity().Bits(), prNone);
}

TEST(ComPort, ClosedDeviceStoresEverySettingWithoutTouchingTheDriver) {
    Device d;
    TComPort& p = d.port;
    ConfigureLikeConnection(p);
    p.SetPort("COM7");
    p.SetCustomBaudRate(14400);
    p.SetDiscardNull(true);
    p.SetEventChar('x');
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    p.FlowControl().SetFlowControl(fcHardware);
    p.FlowControl().SetXonChar(1);
    p.Timeouts().SetReadInterval(-1);
    p.Buffer().SetOutputSize(4096);
    p.CloseDevice();
    EXPECT_TRUE(d.log->Calls().empty());
    EXPECT_EQ(p.Port(), "COM7");
    EXPECT_EQ(p.FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_TRUE(p.FlowControl().OutCTSFlow());
}

TEST(ComPort, OpenConfiguresInOrderAndReportsTheModemLines) {
    Device d;
    ConfigureLikeConnection(d.port);
    d.log->modemStatus = ComMsCtsOn | ComMsRlsdOn;
    std::vector<std::string> seen;
    auto record = [&seen, &d](const char* name) {
        return [&seen, &d, name](TCustomComPort& sender, bool on) {
            EXPECT_EQ(&sender, &d.port);
            const auto calls = d.log->Calls();
            seen.push_back(std::string(name) + (on ? " on" : " off") + " after " +
                           (calls.empty() ? std::string("nothing") : calls.back()));
        };
    };
    d.port.OnCTSChange = record("CTS");
    d.port.OnDSRChange = record("DSR");
    d.port.OnRLSDChange = record("RLSD");

    d.port.OpenDevice();
    EXPECT_TRUE(d.port.Connected());
    EXPECT_EQ(d.log->Calls(),
              (std::vector<std::string>{"Open:Com1", "SetupComm", "SetCommState", "SetCommTimeouts",
                                        "GetCommModemStatus", "GetCommModemStatus",
                                        "GetCommModemStatus"}));
    EXPECT_EQ(d.log->inputSize, 1048576u);
    EXPECT_EQ(d.log->outputSize, 1048576u);
    const TComTimeoutValues t = d.log->timeouts.back();
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    d.port.OpenDevice(); // already open: nothing
    EXPECT_EQ(d.log->Count("Open:Com1"), 1u);

    d.log->Clear();
    d.port.CloseDevice();
    EXPECT_FALSE(d.port.Connected());
    EXPECT_EQ(d.log->Calls(), (std::vector<std::string>{"PurgeComm", "Close"}));
    EXPECT_EQ(d.log->purges, (std::vector<uint32_t>{0x0003}));
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "CTS on after GetCommModemStatus", "DSR off after GetCommModemStatus",
                  "RLSD on after GetCommModemStatus",
                  // at close, before the purge and the close of the handle
                  "CTS off after nothing", "DSR off after nothing", "RLSD off after nothing"}));
    d.port.CloseDevice(); // already closed: nothing
    EXPECT_EQ(d.log->Count("Close"), 1u);
}

TEST(ComPort, ControlBlockFlagWordsOfTheConnectionsLineStates) {
    struct Case {
        TDTRFlowControl dtr;
        TRTSFlowControl rts;
        uint32_t flags;
    };
    const Case cases[] = {{dtrEnable, rtsEnable, 0x1011},
                          {dtrEnable, rtsDisable, 0x0011},
                          {dtrDisable, rtsEnable, 0x1001},
                          {dtrDisable, rtsDisable, 0x0001}};
    for (const Case& c : cases) {
        Device d;
        ConfigureLikeConnection(d.port);
        d.port.FlowControl().SetControlDTR(c.dtr);
        d.port.FlowControl().SetControlRTS(c.rts);
        d.port.OpenDevice();
        ASSERT_EQ(d.log->states.size(), 1u);
        const TComDcb& dcb = d.log->states[0];
        EXPECT_EQ(dcb.Flags, c.flags) << std::hex << c.flags;
        EXPECT_EQ(dcb.DCBlength, 28u);
        EXPECT_EQ(dcb.BaudRate, 9600u);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, 0);
        EXPECT_EQ(dcb.StopBits, 0);
        EXPECT_EQ(dcb.XonLim, 0); // 1 MiB / 4 does not fit 16 bits
        EXPECT_EQ(dcb.XoffLim, 0);
        EXPECT_EQ(dcb.XonChar, 0x11);
        EXPECT_EQ(dcb.XoffChar, 0x13);
        EXPECT_EQ(dcb.ErrorChar, 0);
    }
}

TEST(ComPort, ControlBlockFieldsFollowEverySetting) {
    Device d;
    TComPort& p = d.port;
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(31250);
    p.SetDataBits(dbSeven);
    p.SetStopBits(sbOne5StopBits);
    p.Parity().SetBits(prMark);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    p.FlowControl().SetFlowControl(fcHardware);
    p.FlowControl().SetControlDTR(dtrHandshake);
    p.FlowControl().SetOutDSRFlow(true);
    p.FlowControl().SetDSRSensitivity(true);
    p.FlowControl().SetTxContinueOnXoff(true);
    p.SetDiscardNull(true);
    p.SetEventChar('\n');
    p.Buffer().SetInputSize(4096);
    const TComDcb dcb = p.BuildDcb();
    EXPECT_EQ(dcb.BaudRate, 31250u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, 1);
    EXPECT_EQ(dcb.Parity, 3);
    EXPECT_EQ(dcb.Flags, DcbFlagBinary | DcbFlagParity | DcbFlagOutxCtsFlow | DcbFlagOutxDsrFlow |
                             (2u << DcbFlagDtrControlShift) | DcbFlagDsrSensitivity |
                             DcbFlagTxContinueOnXoff | DcbFlagErrorChar | DcbFlagNull |
                             (2u << DcbFlagRtsControlShift));
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.EvtChar, '\n');
    EXPECT_EQ(dcb.XonLim, 1024);

    // Software flow control, and the replacement character only with the check on.
    p.FlowControl().SetFlowControl(fcSoftware);
    p.Parity().SetCheck(false);
    const TComDcb soft = p.BuildDcb();
    EXPECT_TRUE(soft.Has(DcbFlagOutX));
    EXPECT_TRUE(soft.Has(DcbFlagInX));
    EXPECT_FALSE(soft.Has(DcbFlagOutxCtsFlow));
    EXPECT_EQ(soft.RtsControl(), 0u);
    EXPECT_EQ(soft.DtrControl(), 2u); // never touched by the summary
    EXPECT_FALSE(soft.Has(DcbFlagErrorChar));
    EXPECT_EQ(soft.ErrorChar, 0);

    // "Custom" uses CustomBaudRate, 9600 unless changed.
    Device fresh;
    fresh.port.SetBaudRate(brCustom);
    EXPECT_EQ(fresh.port.BuildDcb().BaudRate, 9600u);
}

TEST(ComPort, ChangedSettingReappliesOnlyItsPartWhileOpen) {
    Device d;
    ConfigureLikeConnection(d.port);
    d.port.OpenDevice();
    d.log->Clear();

    d.port.FlowControl().SetControlDTR(dtrDisable);
    ASSERT_EQ(d.log->Calls(), std::vector<std::string>{"SetCommState"});
    EXPECT_EQ(d.log->states[0].DtrControl(), 0u);
    EXPECT_EQ(d.log->states[0].Flags, 0x1001u);

    d.log->Clear();
    d.port.FlowControl().SetControlDTR(dtrDisable); // the same value
    d.port.SetBaudRate(br9600);
    d.port.Timeouts().SetReadInterval(100);
    d.port.Buffer().SetInputSize(1048576);
    d.port.Buffer().SetInputSize(1048577); // stored one less: the same value
    EXPECT_TRUE(d.log->Calls().empty());

    d.port.FlowControl().SetFlowControl(fcNone); // re-applies even unchanged
    d.port.Timeouts().SetReadInterval(-1);
    d.port.Buffer().SetOutputSize(2048);
    d.port.Parity().SetBits(prEven);
    EXPECT_EQ(d.log->Calls(), (std::vector<std::string>{"SetCommState", "SetCommTimeouts",
                                                        "SetupComm", "SetCommState"}));
    EXPECT_EQ(d.log->timeouts.back().ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(d.log->outputSize, 2048u);
}

TEST(ComPort, OddQueueSizeIsStoredOneLess) {
    Device d;
    d.port.Buffer().SetInputSize(1025);
    d.port.Buffer().SetOutputSize(7);
    EXPECT_EQ(d.port.Buffer().InputSize(), 1024);
    EXPECT_EQ(d.port.Buffer().OutputSize(), 6);
}

TEST(ComPort, NewPortNameWhileOpenReopensUnderThatName) {
    Device d;
    d.port.OpenDevice();
    d.log->Clear();
    d.port.SetPort("COM3");
    EXPECT_TRUE(d.port.Connected());
    const auto calls = d.log->Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "PurgeComm");
    EXPECT_EQ(calls[1], "Close");
    EXPECT_EQ(calls[2], "Open:COM3");
}

TEST(ComPort, FailuresRaiseTheirCodeAndLeaveADefinedState) {
    struct Case {
        const char* failing;
        int32_t code;
        bool openAfter; // Connected after the failure
        bool closed;    // the driver's handle was closed again
    };
    const Case cases[] = {
        {"Open", CE_OpenFailed, false, false},
        {"SetupComm", CE_SetupComFailed, false, true},
        {"SetCommState", CE_SetStateFailed, false, true},
        {"SetCommTimeouts", CE_TimeoutsFailed, false, true},
        {"GetCommModemStatus", CE_ModemStatFailed, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        Device d;
        d.port.OnCTSChange = [](TCustomComPort&, bool) {};
        d.log->failures[c.failing] = 31;
        try {
            d.port.OpenDevice();
            ADD_FAILURE() << "no exception";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.SystemError(), 31);
            EXPECT_EQ(std::string(e.what()), ComErrorText(c.code) + SystemErrorTail(31));
        }
        EXPECT_EQ(d.port.Connected(), c.openAfter);
        EXPECT_EQ(d.log->Count("Close"), c.closed ? 1u : 0u);
        EXPECT_EQ(d.log->open, c.openAfter);
    }
}

// A DTR or RTS change the device refuses is not taken: the device goes on reporting (and
// sending with the next configuration) the line as it was.
TEST(ComPort, RefusedLineChangeKeepsTheStateAsItWas) {
    struct Case {
        const char* line;
        bool dtr;
    };
    const Case cases[] = {{"DTR", true}, {"RTS", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Device d;
        ConfigureLikeConnection(d.port);
        d.port.OpenDevice();
        d.log->failures["SetCommState"] = EPERM;
        try {
            if (c.dtr) {
                d.port.FlowControl().SetControlDTR(dtrDisable);
            } else {
                d.port.FlowControl().SetControlRTS(rtsDisable);
            }
            ADD_FAILURE() << "no exception";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CE_SetStateFailed);
            EXPECT_EQ(e.SystemError(), EPERM);
        }
        EXPECT_EQ(d.port.FlowControl().ControlDTR(), dtrEnable);
        EXPECT_EQ(d.port.FlowControl().ControlRTS(), rtsEnable);
        d.log->failures.clear();
        d.port.Parity().SetBits(prEven);
        const TComDcb sent = d.log->states.back();
        EXPECT_EQ(sent.DtrControl(), 1u);
        EXPECT_EQ(sent.RtsControl(), 1u);
    }
}

TEST(ComPort, FailedPurgeLeavesThePortOpen) {
    Device d;
    d.port.OpenDevice();
    d.log->failures["PurgeComm"] = 6;
    try {
        d.port.CloseDevice();
        ADD_FAILURE() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CE_PurgeFailed);
#ifdef _WIN32
        EXPECT_STREQ(e.what(), "PurgeComm function failed (win error code: 6)");
#else
        EXPECT_STREQ(e.what(),
                     "PurgeComm function failed (system error 6: No such device or address)");
#endif
    }
    EXPECT_TRUE(d.port.Connected());
    EXPECT_EQ(d.log->Count("Close"), 0u);
}

TEST(ComPort, OpenFailureMessageCarriesTheSystemError) {
    // The code is the system's own: an errno on POSIX, a Windows error code on Windows.
#ifdef _WIN32
    EXPECT_STREQ(EComPort(CE_OpenFailed, 2).what(), "Unable to open com port (win error code: 2)");
#else
    EXPECT_STREQ(EComPort(CE_OpenFailed, 2).what(),
                 "Unable to open com port (system error 2: No such file or directory)");
#endif
    EXPECT_STREQ(EComPort(CE_ThreadCreated).what(),
                 "Cannot wait for event if event thread is created");
    EXPECT_EQ(EComPort(CE_ThreadCreated).SystemError(), -1);
}

TEST(ComPort, ReadWriteAndWaitGoThroughTheDriver) {
    Device d;
    d.port.OpenDevice();
    d.log->Clear();

    EXPECT_EQ(d.port.WriteBytes(""), 0);
    EXPECT_TRUE(d.log->Calls().empty());
    EXPECT_EQ(d.port.WriteBytes(std::string("\x01\x00\x02", 3)), 3);
    EXPECT_EQ(d.log->written, std::string("\x01\x00\x02", 3));

    d.log->readChunks.push_back("burst");
    char buffer[16] = {};
    EXPECT_EQ(d.port.ReadBytes(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "burst");
    // Every read ends with a look at the input queue.
    EXPECT_EQ(d.log->Calls(),
              (std::vector<std::string>{"WriteFile", "ReadFile", "ClearCommError"}));

    d.log->Clear();
    d.log->waitEvents = ComEvRxChar | ComEvDsr;
    TComEvents events{evRxChar, evCTS, evDSR, evRLSD};
    d.port.WaitLineEvents(events);
    EXPECT_EQ(events, (TComEvents{evRxChar, evDSR}));
    EXPECT_EQ(d.log->masks, (std::vector<uint32_t>{0x0039, 0}));

    d.log->inputQueue = 17;
    EXPECT_EQ(d.port.InputQueueCount(), 17);
    d.log->modemStatus = ComMsDsrOn | ComMsRingOn;
    EXPECT_EQ(d.port.ReadModemLines(), (TComModemLines{false, true, true, false}));
}

TEST(ComPort, FailingTransfersRaiseTheirCodes) {
    struct Case {
        const char* failing;
        int32_t code;
    };
    const Case cases[] = {{"ReadFile", CE_ReadFailed},
                          {"ClearCommError", CE_ClearComFailed},
                          {"WriteFile", CE_WriteFailed},
                          {"WaitCommEvent", CE_WaitFailed},
                          {"GetCommModemStatus", CE_ModemStatFailed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        Device d;
        d.port.OpenDevice();
        d.log->failures[c.failing] = EIO;
        char buffer[4];
        TComEvents events{evRxChar};
        try {
            if (c.code == CE_WriteFailed) {
                d.port.WriteBytes("x");
            } else if (c.code == CE_WaitFailed) {
                d.port.WaitLineEvents(events);
            } else if (c.code == CE_ModemStatFailed) {
                d.port.ReadModemLines();
            } else {
                d.port.ReadBytes(buffer, sizeof buffer);
            }
            ADD_FAILURE() << "no exception";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.SystemError(), EIO);
        }
        EXPECT_TRUE(d.port.Connected());
    }
}

TEST(ComPort, EventSetAndMaskMapBothWays) {
    const std::pair<TComEvent, uint32_t> table[] = {
        {evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100},
        {evBreak, 0x0040},  {evCTS, 0x0008},     {evDSR, 0x0010},    {evError, 0x0080},
        {evRLSD, 0x0020},   {evRx80Full, 0x0400}};
    for (const auto& [event, mask] : table) {
        EXPECT_EQ(EventsToMask(TComEvents{event}), mask) << int(event);
        EXPECT_EQ(MaskToEvents(mask), TComEvents{event}) << int(event);
    }
    EXPECT_EQ(EventsToMask(TComEvents::All()), 0x05FFu);
    EXPECT_TRUE(MaskToEvents(0).Empty());
}

TEST(ComPort, TextConversions) {
    const std::vector<std::string> rates = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                                            "4800",   "9600",   "14400",  "19200", "38400", "56000",
                                            "57600",  "115200", "128000", "256000"};
    for (size_t i = 0; i < rates.size(); ++i) {
        EXPECT_EQ(BaudRateToText(static_cast<TBaudRate>(i)), rates[i]);
        EXPECT_EQ(TextToBaudRate(rates[i]), static_cast<TBaudRate>(i));
    }
    EXPECT_EQ(TextToBaudRate("custom"), brCustom);
    EXPECT_EQ(TextToBaudRate("9601"), br9600);
    EXPECT_EQ(TextToBaudRate(""), br9600);
    EXPECT_EQ(TextToBaudRate(" 9600"), br9600);
    EXPECT_EQ(TextToParity("sPaCe"), prSpace);
    EXPECT_EQ(TextToParity("x"), prNone);
    EXPECT_EQ(ParityToText(prMark), "Mark");
    EXPECT_EQ(TextToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(TextToStopBits("3"), sbOneStopBit);
    EXPECT_EQ(StopBitsToText(sbTwoStopBits), "2");
    EXPECT_EQ(TextToDataBits("5"), dbFive);
    EXPECT_EQ(TextToDataBits("9"), dbEight);
    EXPECT_EQ(DataBitsToText(dbSix), "6");
    EXPECT_EQ(TextToFlowControl("HARDWARE"), fcHardware);
}

TEST(ComSelect, FillsItsKindAndShowsTheBoundDevice) {
    struct Case {
        TComProperty kind;
        size_t count;
    };
    const Case cases[] = {{cpNone, 0},     {cpPort, 0},   {cpBaudRate, 16},  {cpDataBits, 4},
                          {cpStopBits, 3}, {cpParity, 5}, {cpFlowControl, 4}};
    for (const Case& c : cases) {
        TComSelect s;
        s.SetComProperty(c.kind);
        EXPECT_EQ(s.Items().size(), c.count) << int(c.kind);
        EXPECT_EQ(s.ItemIndex(), c.count == 0 ? -1 : 0) << int(c.kind);
    }

    Device d;
    d.port.SetStopBits(sbTwoStopBits);
    TComSelect s;
    s.SetComProperty(cpStopBits);
    s.SetComPort(&d.port);
    EXPECT_EQ(s.Text(), "2");
    EXPECT_EQ(s.PendingStopBits(), sbTwoStopBits);

    // The port list comes from its owner; the device's name is found ignoring case.
    TComSelect ports;
    ports.SetComProperty(cpPort);
    ports.SetItems({"COM1", "SIM0"});
    d.port.SetPort("sim0");
    ports.SetComPort(&d.port);
    EXPECT_EQ(ports.ItemIndex(), 1);
    EXPECT_EQ(ports.PendingPort(), "SIM0");
}

TEST(ComSelect, UserChoiceAppliesProgramSelectionDoesNot) {
    Device d;
    d.port.OpenDevice();
    TComSelect s;
    s.SetComProperty(cpBaudRate);
    s.SetComPort(&d.port);
    s.SetAutoApply(true);
    int changes = 0;
    s.OnChange = [&changes] { ++changes; };
    EXPECT_EQ(s.Text(), "9600");
    d.log->Clear();

    s.SetItemIndex(13); // from program code
    EXPECT_EQ(s.Text(), "115200");
    EXPECT_EQ(d.port.BaudRate(), br9600);
    EXPECT_TRUE(d.log->Calls().empty());
    EXPECT_EQ(changes, 0);

    s.UserSelect(13);
    EXPECT_EQ(d.port.BaudRate(), br115200);
    EXPECT_EQ(d.log->Count("SetCommState"), 1u);
    EXPECT_EQ(d.log->states.back().BaudRate, 115200u);
    EXPECT_EQ(changes, 1);

    s.SetAutoApply(false);
    s.UserSelect(0);
    EXPECT_EQ(s.PendingBaudRate(), brCustom);
    EXPECT_EQ(d.port.BaudRate(), br115200);
    s.ApplyPending();
    EXPECT_EQ(d.port.BaudRate(), brCustom);

    s.SetText("Nope");
    EXPECT_EQ(s.Text(), "Custom");
    s.SetText("300");
    EXPECT_EQ(s.ItemIndex(), 2);
}

TEST(ComSelect, FreedDeviceDropsTheBinding) {
    TComSelect s;
    s.SetComProperty(cpParity);
    {
        Device d;
        d.port.Parity().SetBits(prOdd);
        s.SetComPort(&d.port);
        EXPECT_EQ(s.Text(), "Odd");
    }
    EXPECT_EQ(s.ComPort(), nullptr);
    EXPECT_EQ(s.ItemIndex(), 0);
    s.UserSelect(2); // no device: nothing to apply to
    EXPECT_EQ(s.PendingParity(), prEven);
}
