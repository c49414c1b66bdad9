#pragma once
// The port device: one serial port with its line settings, opened, configured, read,
// written and waited on through a TComDriver. Its settings objects, its error type, the
// text tables of the line settings and the selection logic of the port drop-down lists.

#include "serial/ComDriver.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The ordinals are stored in settings and used as drop-down item indexes.
enum TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComProperty : uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};
enum TComEvent : uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};

// A set of TComEvent: bit i stands for the i-th value.
class TComEvents {
public:
    constexpr TComEvents() = default;
    constexpr TComEvents(std::initializer_list<TComEvent> events) {
        for (TComEvent e : events) {
            m_bits = static_cast<uint16_t>(m_bits | (1u << e));
        }
    }
    static constexpr TComEvents FromBits(uint16_t bits) {
        TComEvents s;
        s.m_bits = static_cast<uint16_t>(bits & 0x03FFu);
        return s;
    }
    static constexpr TComEvents All() { return FromBits(0x03FF); }

    constexpr uint16_t Bits() const { return m_bits; }
    constexpr bool Empty() const { return m_bits == 0; }
    constexpr bool Contains(TComEvent e) const { return (m_bits & (1u << e)) != 0; }
    constexpr void Include(TComEvent e) { m_bits = static_cast<uint16_t>(m_bits | (1u << e)); }
    constexpr void Exclude(TComEvent e) { m_bits = static_cast<uint16_t>(m_bits & ~(1u << e)); }
    constexpr bool operator==(const TComEvents&) const = default;

private:
    uint16_t m_bits = 0;
};

// The set as a Windows event mask (ComEv... bits) and back.
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);

// States of the modem input lines.
struct TComModemLines {
    bool CTS = false;
    bool DSR = false;
    bool Ring = false;
    bool RLSD = false;
    bool operator==(const TComModemLines&) const = default;
};

// Error codes of EComPort.
constexpr int32_t CE_OpenFailed = 1;
constexpr int32_t CE_WriteFailed = 2;
constexpr int32_t CE_ReadFailed = 3;
constexpr int32_t CE_PurgeFailed = 5;
constexpr int32_t CE_SetStateFailed = 7;
constexpr int32_t CE_TimeoutsFailed = 8;
constexpr int32_t CE_SetupComFailed = 9;
constexpr int32_t CE_ClearComFailed = 10;
constexpr int32_t CE_ModemStatFailed = 11;
constexpr int32_t CE_ThreadCreated = 20;
constexpr int32_t CE_WaitFailed = 21;

// The text of an EComPort code; empty for an unknown code.
std::string ComErrorText(int32_t code);

class EComPort : public std::runtime_error {
public:
    // systemError -1: no system error; otherwise the message ends in the system's words
    // for it (SystemErrorTail).
    explicit EComPort(int32_t code, int32_t systemError = -1);
    int32_t ErrorCode() const { return m_code; }
    int32_t SystemError() const { return m_systemError; }

private:
    int32_t m_code;
    int32_t m_systemError;
};

class TCustomComPort;

// Read and write time-outs in milliseconds; -1 is stored and applied as 0xFFFFFFFF.
class TComTimeouts {
public:
    explicit TComTimeouts(TCustomComPort& owner) : m_owner(owner) {}
    int32_t ReadInterval() const { return m_readInterval; }
    int32_t ReadTotalMultiplier() const { return m_readTotalMultiplier; }
    int32_t ReadTotalConstant() const { return m_readTotalConstant; }
    int32_t WriteTotalMultiplier() const { return m_writeTotalMultiplier; }
    int32_t WriteTotalConstant() const { return m_writeTotalConstant; }
    void SetReadInterval(int32_t value);
    void SetReadTotalMultiplier(int32_t value);
    void SetReadTotalConstant(int32_t value);
    void SetWriteTotalMultiplier(int32_t value);
    void SetWriteTotalConstant(int32_t value);
    // The three read time-outs at once: an open device gets them in one call, never in a
    // mix of old and new values that a read starting meanwhile could take.
    void SetRead(int32_t interval, int32_t totalMultiplier, int32_t totalConstant);
    TComTimeoutValues Values() const;

private:
    void Change(int32_t& field, int32_t value);
    TCustomComPort& m_owner;
    int32_t m_readInterval = -1;
    int32_t m_readTotalMultiplier = 0;
    int32_t m_readTotalConstant = 0;
    int32_t m_writeTotalMultiplier = 100;
    int32_t m_writeTotalConstant = 1000;
};

class TComFlowControl {
public:
    explicit TComFlowControl(TCustomComPort& owner) : m_owner(owner) {}
    bool OutCTSFlow() const { return m_outCTSFlow; }
    bool OutDSRFlow() const { return m_outDSRFlow; }
    TDTRFlowControl ControlDTR() const { return m_controlDTR; }
    TRTSFlowControl ControlRTS() const { return m_controlRTS; }
    bool XonXoffOut() const { return m_xonXoffOut; }
    bool XonXoffIn() const { return m_xonXoffIn; }
    bool DSRSensitivity() const { return m_dsrSensitivity; }
    bool TxContinueOnXoff() const { return m_txContinueOnXoff; }
    char XonChar() const { return m_xonChar; }
    char XoffChar() const { return m_xoffChar; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);
    // The summary of RTS control, CTS output flow and XON/XOFF; fcCustom when the fields
    // match none of the other three.
    TFlowControl FlowControl() const;
    // Every assignment re-applies the line settings, even of the value already there.
    void SetFlowControl(TFlowControl value);

private:
    template <typename T> void Change(T& field, T value);
    TCustomComPort& m_owner;
    bool m_outCTSFlow = false;
    bool m_outDSRFlow = false;
    TDTRFlowControl m_controlDTR = dtrDisable;
    TRTSFlowControl m_controlRTS = rtsDisable;
    bool m_xonXoffOut = false;
    bool m_xonXoffIn = false;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = false;
    char m_xonChar = 0x11;
    char m_xoffChar = 0x13;
};

class TComParity {
public:
    explicit TComParity(TCustomComPort& owner) : m_owner(owner) {}
    TParityBits Bits() const { return m_bits; }
    bool Check() const { return m_check; }
    bool Replace() const { return m_replace; }
    char ReplaceChar() const { return m_replaceChar; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

private:
    template <typename T> void Change(T& field, T value);
    TCustomComPort& m_owner;
    TParityBits m_bits = prNone;
    bool m_check = false;
    bool m_replace = false;
    char m_replaceChar = 0;
};

// Driver queue sizes in bytes; an odd value is stored one less.
class TComBuffer {
public:
    explicit TComBuffer(TCustomComPort& owner) : m_owner(owner) {}
    int32_t InputSize() const { return m_inputSize; }
    int32_t OutputSize() const { return m_outputSize; }
    void SetInputSize(int32_t value);
    void SetOutputSize(int32_t value);

private:
    void Change(int32_t& field, int32_t value);
    TCustomComPort& m_owner;
    int32_t m_inputSize = 1024;
    int32_t m_outputSize = 1024;
};

class TComSelect;

// A modem-line notification: the device and the line's new state.
using TComSignalEvent = std::function<void(TCustomComPort& sender, bool on)>;

class TCustomComPort {
public:
    // With the driver of the system the program runs on.
    TCustomComPort();
    explicit TCustomComPort(std::unique_ptr<TComDriver> driver);
    // Closes the port first (errors of that close are dropped).
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // Open and close. Both raise EComPort; both do nothing when already in that state.
    void OpenDevice();
    void CloseDevice();
    void Open() { OpenDevice(); }
    void Close() { CloseDevice(); }
    bool Connected() const { return m_connected.load(); }
    void SetConnected(bool value);

    // Reads up to `count` bytes; how long it waits follows the time-outs. Raises EComPort.
    int32_t ReadBytes(void* buffer, int32_t count);
    // Writes the bytes; returns the count the driver reports written. Raises EComPort.
    int32_t WriteBytes(std::string_view bytes);
    // Waits for any of `events`; on return `events` holds those that happened (empty
    // after a time-out or the stop event). timeoutMs -1 waits without limit. Raises
    // EComPort, also when the port is closed from another thread during the wait.
    void WaitLineEvents(TComEvents& events, TComStopEvent* stop = nullptr, int32_t timeoutMs = -1);
    int32_t InputQueueCount();
    TComModemLines ReadModemLines();

    const std::string& Port() const { return m_port; }
    TBaudRate BaudRate() const { return m_baudRate; }
    int32_t CustomBaudRate() const { return m_customBaudRate; }
    TDataBits DataBits() const { return m_dataBits; }
    TStopBits StopBits() const { return m_stopBits; }
    bool DiscardNull() const { return m_discardNull; }
    char EventChar() const { return m_eventChar; }
    TComEvents Events() const { return m_events; }
    // When connected, a new port name closes the port and opens the new one.
    void SetPort(const std::string& value);
    void SetBaudRate(TBaudRate value);
    void SetCustomBaudRate(int32_t value);
    void SetDataBits(TDataBits value);
    void SetStopBits(TStopBits value);
    void SetDiscardNull(bool value);
    void SetEventChar(char value);
    // Stored only. The device has no event thread of its own, so the set has no effect.
    void SetEvents(TComEvents value) { m_events = value; }

    TComTimeouts& Timeouts() { return m_timeouts; }
    TComFlowControl& FlowControl() { return m_flowControl; }
    TComParity& Parity() { return m_parity; }
    TComBuffer& Buffer() { return m_buffer; }
    const TComTimeouts& Timeouts() const { return m_timeouts; }
    const TComFlowControl& FlowControl() const { return m_flowControl; }
    const TComParity& Parity() const { return m_parity; }
    const TComBuffer& Buffer() const { return m_buffer; }

    // Called at the end of every open with the line's state and at the start of every
    // close with off, on the thread that opens or closes.
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;

    // The control block the line settings give (what ApplyLineSettings hands the driver).
    TComDcb BuildDcb() const;
    // The driver, for calls the device does not wrap (GetCommModemStatus without raising).
    TComDriver& Driver() { return *m_driver; }

    // Re-apply one part of the settings; each does nothing while not connected.
    void ApplyLineSettings();
    void ApplyTimeoutSettings();
    void ApplyQueueSizes();

protected:
    virtual void CreateDeviceHandle();
    virtual void DestroyDeviceHandle();
    virtual void ConfigureDevice();

private:
    friend class TComSelect;
    void AddSelect(TComSelect* select);
    void RemoveSelect(TComSelect* select);
    void AbortIo();
    template <typename T> void ChangeLine(T& field, T value);

    std::unique_ptr<TComDriver> m_driver;
    bool m_handleOpen = false;
    std::atomic<bool> m_connected{false};
    TBaudRate m_baudRate = br9600;
    int32_t m_customBaudRate = 9600;
    std::string m_port = "COM1";
    TStopBits m_stopBits = sbOneStopBit;
    TDataBits m_dataBits = dbEight;
    bool m_discardNull = false;
    char m_eventChar = 0;
    TComEvents m_events = TComEvents::All();
    TComBuffer m_buffer{*this};
    TComParity m_parity{*this};
    TComTimeouts m_timeouts{*this};
    TComFlowControl m_flowControl{*this};
    std::vector<TComSelect*> m_selects;
};

class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

// Text tables of the line settings.
std::string BaudRateToText(TBaudRate value);
std::string DataBitsToText(TDataBits value);
std::string StopBitsToText(TStopBits value);
std::string ParityToText(TParityBits value);
std::string FlowControlToText(TFlowControl value);
// Case-insensitive (ASCII) look-up in value order; no match gives br9600, dbEight,
// sbOneStopBit, prNone, fcCustom.
TBaudRate TextToBaudRate(std::string_view text);
TDataBits TextToDataBits(std::string_view text);
TStopBits TextToStopBits(std::string_view text);
TParityBits TextToParity(std::string_view text);
TFlowControl TextToFlowControl(std::string_view text);
// The bits per second of a rate; CustomBaudRate stands for brCustom.
uint32_t BaudRateValue(TBaudRate value, int32_t customBaudRate);

// The logic of the drop-down list bound to one setting of a device (TComComboBox): the
// list of item texts, the selection, the bound device and the value the user picked.
class TComSelect {
public:
    TComSelect() = default;
    ~TComSelect();
    TComSelect(const TComSelect&) = delete;
    TComSelect& operator=(const TComSelect&) = delete;

    // The items; the port list (cpPort) is filled by its owner, the other kinds fill
    // themselves when the kind is set.
    const std::vector<std::string>& Items() const { return m_items; }
    void SetItems(std::vector<std::string> items);
    // -1: nothing selected. Selecting from program code does not apply anything.
    int ItemIndex() const { return m_itemIndex; }
    void SetItemIndex(int index);
    // The selected item's text, empty when none; setting it selects a matching item.
    std::string Text() const;
    void SetText(const std::string& text);

    TCustomComPort* ComPort() const { return m_comPort; }
    void SetComPort(TCustomComPort* port);
    TComProperty ComProperty() const { return m_comProperty; }
    void SetComProperty(TComProperty kind);
    bool AutoApply() const { return m_autoApply; }
    void SetAutoApply(bool value) { m_autoApply = value; }

    // The user picked item `index`: select it, take its text into the pending value, apply
    // it when AutoApply is on, then call OnChange.
    void UserSelect(int index);
    std::function<void()> OnChange;

    void FillItems();
    void ShowDeviceValue();
    void TakeText(const std::string& text);
    // Writes the pending value of the kind to the bound device.
    void ApplyPending();

    const std::string& PendingPort() const { return m_port; }
    TBaudRate PendingBaudRate() const { return m_baudRate; }
    TDataBits PendingDataBits() const { return m_dataBits; }
    TStopBits PendingStopBits() const { return m_stopBits; }
    TParityBits PendingParity() const { return m_parity; }
    TFlowControl PendingFlowControl() const { return m_flowControl; }

private:
    friend class TCustomComPort;
    void DeviceFreed(TCustomComPort* port);
    std::string DeviceValueText() const;

    std::vector<std::string> m_items;
    int m_itemIndex = -1;
    TCustomComPort* m_comPort = nullptr;
    TComProperty m_comProperty = cpNone;
    bool m_autoApply = false;
    std::string m_port;
    TBaudRate m_baudRate = br9600;
    TDataBits m_dataBits = dbEight;
    TStopBits m_stopBits = sbOneStopBit;
    TParityBits m_parity = prNone;
    TFlowControl m_flowControl = fcNone;
};
