#include "serial/ComPort.h"

#include "serial/ComDriverByName.h"
#include "serial/PortMessages.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::array<const char*, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<uint32_t, 16> kBaudRateValues = {0,     110,    300,    600,   1200,  2400,
                                                      4800,  9600,   14400,  19200, 38400, 56000,
                                                      57600, 115200, 128000, 256000};
constexpr std::array<const char*, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlTexts = {"Hardware", "Software", "None", "Custom"};

// Windows event-mask bit of each TComEvent, in value order.
constexpr std::array<uint32_t, 10> kEventMasks = {ComEvRxChar, ComEvTxEmpty, ComEvRxFlag, ComEvRing,
                                                  ComEvBreak,  ComEvCts,     ComEvDsr,    ComEvErr,
                                                  ComEvRlsd,   ComEvRx80Full};

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

template <typename E, size_t N>
E TextToValue(const std::array<const char*, N>& texts, std::string_view text, E fallback) {
    for (size_t i = 0; i < N; ++i) {
        if (SameTextAscii(texts[i], text)) {
            return static_cast<E>(i);
        }
    }
    return fallback;
}

template <size_t N> std::string ValueToText(const std::array<const char*, N>& texts, size_t i) {
    return i < N ? texts[i] : std::string();
}

std::string ComposeMessage(int32_t code, int32_t systemError) {
    std::string text = ComErrorText(code);
    if (systemError != -1) {
        text += SystemErrorTail(systemError);
    }
    return text;
}

} // namespace

uint32_t EventsToMask(TComEvents events) {
    uint32_t mask = 0;
    for (size_t i = 0; i < kEventMasks.size(); ++i) {
        if (events.Contains(static_cast<TComEvent>(i))) {
            mask |= kEventMasks[i];
        }
    }
    return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
    TComEvents events;
    for (size_t i = 0; i < kEventMasks.size(); ++i) {
        if ((mask & kEventMasks[i]) != 0) {
            events.Include(static_cast<TComEvent>(i));
        }
    }
    return events;
}

std::string ComErrorText(int32_t code) {
    switch (code) {
    case CE_OpenFailed:
        return "Unable to open com port";
    case CE_WriteFailed:
        return "WriteFile function failed";
    case CE_ReadFailed:
        return "ReadFile function failed";
    case CE_PurgeFailed:
        return "PurgeComm function failed";
    case CE_SetStateFailed:
        return "SetCommState function failed";
    case CE_TimeoutsFailed:
        return "SetCommTimeouts failed";
    case CE_SetupComFailed:
        return "SetupComm function failed";
    case CE_ClearComFailed:
        return "ClearCommError function failed";
    case CE_ModemStatFailed:
        return "GetCommModemStatus function failed";
    case CE_ThreadCreated:
        return "Cannot wait for event if event thread is created";
    case CE_WaitFailed:
        return "WaitForEvent method failed";
    default:
        return std::string();
    }
}

EComPort::EComPort(int32_t code, int32_t systemError)
    : std::runtime_error(ComposeMessage(code, systemError)), m_code(code),
      m_systemError(systemError) {}

// ---- text tables ----

std::string BaudRateToText(TBaudRate value) {
    return ValueToText(kBaudRateTexts, value);
}
std::string DataBitsToText(TDataBits value) {
    return ValueToText(kDataBitsTexts, value);
}
std::string StopBitsToText(TStopBits value) {
    return ValueToText(kStopBitsTexts, value);
}
std::string ParityToText(TParityBits value) {
    return ValueToText(kParityTexts, value);
}
std::string FlowControlToText(TFlowControl value) {
    return ValueToText(kFlowControlTexts, value);
}

TBaudRate TextToBaudRate(std::string_view text) {
    return TextToValue(kBaudRateTexts, text, br9600);
}
TDataBits TextToDataBits(std::string_view text) {
    return TextToValue(kDataBitsTexts, text, dbEight);
}
TStopBits TextToStopBits(std::string_view text) {
    return TextToValue(kStopBitsTexts, text, sbOneStopBit);
}
TParityBits TextToParity(std::string_view text) {
    return TextToValue(kParityTexts, text, prNone);
}
TFlowControl TextToFlowControl(std::string_view text) {
    return TextToValue(kFlowControlTexts, text, fcCustom);
}

uint32_t BaudRateValue(TBaudRate value, int32_t customBaudRate) {
    if (value == brCustom || value >= kBaudRateValues.size()) {
        return static_cast<uint32_t>(customBaudRate);
    }
    return kBaudRateValues[value];
}

// ---- settings objects ----

void TComTimeouts::Change(int32_t& field, int32_t value) {
    if (field == value) {
        return;
    }
    field = value;
    m_owner.ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(int32_t value) {
    Change(m_readInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t value) {
    Change(m_readTotalMultiplier, value);
}
void TComTimeouts::SetReadTotalConstant(int32_t value) {
    Change(m_readTotalConstant, value);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t value) {
    Change(m_writeTotalMultiplier, value);
}
void TComTimeouts::SetWriteTotalConstant(int32_t value) {
    Change(m_writeTotalConstant, value);
}

void TComTimeouts::SetRead(int32_t interval, int32_t totalMultiplier, int32_t totalConstant) {
    if (m_readInterval == interval && m_readTotalMultiplier == totalMultiplier &&
        m_readTotalConstant == totalConstant) {
        return;
    }
    m_readInterval = interval;
    m_readTotalMultiplier = totalMultiplier;
    m_readTotalConstant = totalConstant;
    m_owner.ApplyTimeoutSettings();
}

TComTimeoutValues TComTimeouts::Values() const {
    TComTimeoutValues v;
    v.ReadIntervalTimeout = static_cast<uint32_t>(m_readInterval);
    v.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(m_readTotalMultiplier);
    v.ReadTotalTimeoutConstant = static_cast<uint32_t>(m_readTotalConstant);
    v.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(m_writeTotalMultiplier);
    v.WriteTotalTimeoutConstant = static_cast<uint32_t>(m_writeTotalConstant);
    return v;
}

template <typename T> void TComFlowControl::Change(T& field, T value) {
    if (field == value) {
        return;
    }
    const T before = field;
    field = value;
    try {
        m_owner.ApplyLineSettings();
    } catch (...) {
        // A change the device refused is not kept: the state (and the lamp that shows it)
        // says what the line does.
        field = before;
        throw;
    }
}

void TComFlowControl::SetOutCTSFlow(bool value) {
    Change(m_outCTSFlow, value);
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    Change(m_outDSRFlow, value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    Change(m_controlDTR, value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    Change(m_controlRTS, value);
}
void TComFlowControl::SetXonXoffOut(bool value) {
    Change(m_xonXoffOut, value);
}
void TComFlowControl::SetXonXoffIn(bool value) {
    Change(m_xonXoffIn, value);
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    Change(m_dsrSensitivity, value);
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    Change(m_txContinueOnXoff, value);
}
void TComFlowControl::SetXonChar(char value) {
    Change(m_xonChar, value);
}
void TComFlowControl::SetXoffChar(char value) {
    Change(m_xoffChar, value);
}

TFlowControl TComFlowControl::FlowControl() const {
    if (m_controlRTS == rtsHandshake && m_outCTSFlow && !m_xonXoffIn && !m_xonXoffOut) {
        return fcHardware;
    }
    if (m_controlRTS == rtsDisable && !m_outCTSFlow && m_xonXoffIn && m_xonXoffOut) {
        return fcSoftware;
    }
    if (m_controlRTS == rtsDisable && !m_outCTSFlow && !m_xonXoffIn && !m_xonXoffOut) {
        return fcNone;
    }
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    switch (value) {
    case fcHardware:
        m_controlRTS = rtsHandshake;
        m_outCTSFlow = true;
        m_xonXoffIn = false;
        m_xonXoffOut = false;
        break;
    case fcSoftware:
        m_controlRTS = rtsDisable;
        m_outCTSFlow = false;
        m_xonXoffIn = true;
        m_xonXoffOut = true;
        break;
    case fcNone:
        m_controlRTS = rtsDisable;
        m_outCTSFlow = false;
        m_xonXoffIn = false;
        m_xonXoffOut = false;
        break;
    case fcCustom:
        break;
    }
    m_owner.ApplyLineSettings();
}

template <typename T> void TComParity::Change(T& field, T value) {
    if (field == value) {
        return;
    }
    field = value;
    m_owner.ApplyLineSettings();
}

void TComParity::SetBits(TParityBits value) {
    Change(m_bits, value);
}
void TComParity::SetCheck(bool value) {
    Change(m_check, value);
}
void TComParity::SetReplace(bool value) {
    Change(m_replace, value);
}
void TComParity::SetReplaceChar(char value) {
    Change(m_replaceChar, value);
}

void TComBuffer::Change(int32_t& field, int32_t value) {
    // The driver takes even queue sizes only.
    if (value % 2 != 0) {
        --value;
    }
    if (field == value) {
        return;
    }
    field = value;
    m_owner.ApplyQueueSizes();
}

void TComBuffer::SetInputSize(int32_t value) {
    Change(m_inputSize, value);
}
void TComBuffer::SetOutputSize(int32_t value) {
    Change(m_outputSize, value);
}

// ---- device ----

TCustomComPort::TCustomComPort() : TCustomComPort(CreatePortDriver()) {}

TCustomComPort::TCustomComPort(std::unique_ptr<TComDriver> driver) : m_driver(std::move(driver)) {}

TCustomComPort::~TCustomComPort() {
    try {
        CloseDevice();
    } catch (...) {
        // Neither a failed purge nor a failing notification may keep the port open once
        // its device is gone.
    }
    if (m_handleOpen) {
        DestroyDeviceHandle();
    }
    m_connected = false;
    // Drop-down lists bound to this device fall back to no device.
    const std::vector<TComSelect*> selects = m_selects;
    for (TComSelect* select : selects) {
        select->DeviceFreed(this);
    }
}

void TCustomComPort::SetConnected(bool value) {
    if (value) {
        OpenDevice();
    } else {
        CloseDevice();
    }
}

void TCustomComPort::CreateDeviceHandle() {
    if (!m_driver->Open(m_port)) {
        throw EComPort(CE_OpenFailed, m_driver->LastError());
    }
    m_handleOpen = true;
}

void TCustomComPort::DestroyDeviceHandle() {
    if (m_handleOpen) {
        m_driver->Close();
        m_handleOpen = false;
    }
}

void TCustomComPort::ConfigureDevice() {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::OpenDevice() {
    if (Connected()) {
        return;
    }
    CreateDeviceHandle();
    m_connected = true;
    try {
        ConfigureDevice();
    } catch (...) {
        DestroyDeviceHandle();
        m_connected = false;
        throw;
    }
    // Each notification reads the lines afresh; a failing read leaves the port open.
    if (OnCTSChange) {
        OnCTSChange(*this, ReadModemLines().CTS);
    }
    if (OnDSRChange) {
        OnDSRChange(*this, ReadModemLines().DSR);
    }
    if (OnRLSDChange) {
        OnRLSDChange(*this, ReadModemLines().RLSD);
    }
}

void TCustomComPort::CloseDevice() {
    if (!Connected()) {
        return;
    }
    if (OnCTSChange) {
        OnCTSChange(*this, false);
    }
    if (OnDSRChange) {
        OnDSRChange(*this, false);
    }
    if (OnRLSDChange) {
        OnRLSDChange(*this, false);
    }
    AbortIo();
    DestroyDeviceHandle();
    m_connected = false;
}

void TCustomComPort::AbortIo() {
    if (!m_driver->PurgeComm(ComPurgeTxAbort | ComPurgeRxAbort)) {
        throw EComPort(CE_PurgeFailed, m_driver->LastError());
    }
}

TComDcb TCustomComPort::BuildDcb() const {
    TComDcb dcb;
    dcb.DCBlength = 28;
    dcb.BaudRate = BaudRateValue(m_baudRate, m_customBaudRate);
    const bool errorChar = m_parity.Check() && m_parity.Replace();
    uint32_t flags = DcbFlagBinary;
    auto set = [&flags](bool on, uint32_t bit) {
        if (on) {
            flags |= bit;
        }
    };
    set(m_parity.Check(), DcbFlagParity);
    set(m_flowControl.OutCTSFlow(), DcbFlagOutxCtsFlow);
    set(m_flowControl.OutDSRFlow(), DcbFlagOutxDsrFlow);
    flags |= (static_cast<uint32_t>(m_flowControl.ControlDTR()) & 0x3u) << DcbFlagDtrControlShift;
    set(m_flowControl.DSRSensitivity(), DcbFlagDsrSensitivity);
    set(m_flowControl.TxContinueOnXoff(), DcbFlagTxContinueOnXoff);
    set(m_flowControl.XonXoffOut(), DcbFlagOutX);
    set(m_flowControl.XonXoffIn(), DcbFlagInX);
    set(errorChar, DcbFlagErrorChar);
    set(m_discardNull, DcbFlagNull);
    flags |= (static_cast<uint32_t>(m_flowControl.ControlRTS()) & 0x3u) << DcbFlagRtsControlShift;
    dcb.Flags = flags;
    // The limits are 16-bit fields: a 1 MiB input queue gives 0.
    dcb.XonLim = static_cast<uint16_t>(m_buffer.InputSize() / 4);
    dcb.XoffLim = static_cast<uint16_t>(m_buffer.InputSize() / 4);
    dcb.ByteSize = static_cast<uint8_t>(5 + m_dataBits);
    dcb.Parity = m_parity.Bits();
    dcb.StopBits = m_stopBits;
    dcb.XonChar = m_flowControl.XonChar();
    dcb.XoffChar = m_flowControl.XoffChar();
    dcb.ErrorChar = errorChar ? m_parity.ReplaceChar() : '\0';
    dcb.EvtChar = m_eventChar;
    return dcb;
}

void TCustomComPort::ApplyLineSettings() {
    if (!Connected()) {
        return;
    }
    if (!m_driver->SetCommState(BuildDcb())) {
        throw EComPort(CE_SetStateFailed, m_driver->LastError());
    }
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!Connected()) {
        return;
    }
    if (!m_driver->SetCommTimeouts(m_timeouts.Values())) {
        throw EComPort(CE_TimeoutsFailed, m_driver->LastError());
    }
}

void TCustomComPort::ApplyQueueSizes() {
    if (!Connected()) {
        return;
    }
    if (!m_driver->SetupComm(static_cast<uint32_t>(m_buffer.InputSize()),
                             static_cast<uint32_t>(m_buffer.OutputSize()))) {
        throw EComPort(CE_SetupComFailed, m_driver->LastError());
    }
}

template <typename T> void TCustomComPort::ChangeLine(T& field, T value) {
    if (field == value) {
        return;
    }
    field = value;
    ApplyLineSettings();
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
    ChangeLine(m_baudRate, value);
}
void TCustomComPort::SetCustomBaudRate(int32_t value) {
    ChangeLine(m_customBaudRate, value);
}
void TCustomComPort::SetDataBits(TDataBits value) {
    ChangeLine(m_dataBits, value);
}
void TCustomComPort::SetStopBits(TStopBits value) {
    ChangeLine(m_stopBits, value);
}
void TCustomComPort::SetDiscardNull(bool value) {
    ChangeLine(m_discardNull, value);
}
void TCustomComPort::SetEventChar(char value) {
    ChangeLine(m_eventChar, value);
}

void TCustomComPort::SetPort(const std::string& value) {
    if (m_port == value) {
        return;
    }
    m_port = value;
    if (Connected()) {
        CloseDevice();
        OpenDevice();
    }
}

int32_t TCustomComPort::ReadBytes(void* buffer, int32_t count) {
    uint32_t transferred = 0;
    if (!m_driver->ReadFile(buffer, static_cast<uint32_t>(std::max(count, 0)), transferred)) {
        throw EComPort(CE_ReadFailed, m_driver->LastError());
    }
    try {
        InputQueueCount();
    } catch (const EComPort&) {
        // Bytes a read returned are never dropped for what fails after them (a device that
        // hangs up right after its last burst): the failure shows at the next call.
        if (transferred == 0) {
            throw;
        }
    }
    return static_cast<int32_t>(transferred);
}

int32_t TCustomComPort::WriteBytes(std::string_view bytes) {
    if (bytes.empty()) {
        return 0;
    }
    uint32_t transferred = 0;
    if (!m_driver->WriteFile(bytes.data(), static_cast<uint32_t>(bytes.size()), transferred)) {
        throw EComPort(CE_WriteFailed, m_driver->LastError());
    }
    return static_cast<int32_t>(transferred);
}

void TCustomComPort::WaitLineEvents(TComEvents& events, TComStopEvent* stop, int32_t timeoutMs) {
    m_driver->SetCommMask(EventsToMask(events));
    uint32_t occurred = 0;
    const bool ok = m_driver->WaitCommEvent(occurred, stop, timeoutMs);
    const int32_t error = ok ? 0 : m_driver->LastError();
    m_driver->SetCommMask(0);
    if (!ok) {
        throw EComPort(CE_WaitFailed, error);
    }
    events = MaskToEvents(occurred);
}

int32_t TCustomComPort::InputQueueCount() {
    uint32_t errors = 0;
    uint32_t queued = 0;
    if (!m_driver->ClearCommError(errors, queued)) {
        throw EComPort(CE_ClearComFailed, m_driver->LastError());
    }
    return static_cast<int32_t>(queued);
}

TComModemLines TCustomComPort::ReadModemLines() {
    uint32_t status = 0;
    if (!m_driver->GetCommModemStatus(status)) {
        throw EComPort(CE_ModemStatFailed, m_driver->LastError());
    }
    TComModemLines lines;
    lines.CTS = (status & ComMsCtsOn) != 0;
    lines.DSR = (status & ComMsDsrOn) != 0;
    lines.Ring = (status & ComMsRingOn) != 0;
    lines.RLSD = (status & ComMsRlsdOn) != 0;
    return lines;
}

void TCustomComPort::AddSelect(TComSelect* select) {
    if (std::find(m_selects.begin(), m_selects.end(), select) == m_selects.end()) {
        m_selects.push_back(select);
    }
}

void TCustomComPort::RemoveSelect(TComSelect* select) {
    m_selects.erase(std::remove(m_selects.begin(), m_selects.end(), select), m_selects.end());
}

// ---- drop-down selection ----

TComSelect::~TComSelect() {
    if (m_comPort != nullptr) {
        m_comPort->RemoveSelect(this);
    }
}

void TComSelect::SetItems(std::vector<std::string> items) {
    m_items = std::move(items);
    m_itemIndex = -1;
}

void TComSelect::SetItemIndex(int index) {
    m_itemIndex = (index >= 0 && index < static_cast<int>(m_items.size())) ? index : -1;
}

std::string TComSelect::Text() const {
    return m_itemIndex >= 0 ? m_items[static_cast<size_t>(m_itemIndex)] : std::string();
}

void TComSelect::SetText(const std::string& text) {
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i] == text) {
            m_itemIndex = static_cast<int>(i);
            return;
        }
    }
}

void TComSelect::SetComPort(TCustomComPort* port) {
    if (port == m_comPort) {
        return;
    }
    if (m_comPort != nullptr) {
        m_comPort->RemoveSelect(this);
    }
    m_comPort = port;
    if (m_comPort != nullptr) {
        m_comPort->AddSelect(this);
    }
    ShowDeviceValue();
}

void TComSelect::SetComProperty(TComProperty kind) {
    m_comProperty = kind;
    FillItems();
}

void TComSelect::FillItems() {
    std::vector<std::string> items;
    auto add = [&items](const auto& texts) {
        for (const char* t : texts) {
            items.emplace_back(t);
        }
    };
    switch (m_comProperty) {
    case cpBaudRate:
        add(kBaudRateTexts);
        break;
    case cpDataBits:
        add(kDataBitsTexts);
        break;
    case cpStopBits:
        add(kStopBitsTexts);
        break;
    case cpParity:
        add(kParityTexts);
        break;
    case cpFlowControl:
        add(kFlowControlTexts);
        break;
    case cpNone:
    case cpPort:
        break;
    }
    m_items = std::move(items);
    m_itemIndex = -1;
    if (m_items.empty()) {
        return;
    }
    if (m_comPort == nullptr) {
        m_itemIndex = 0;
    } else {
        ShowDeviceValue();
    }
}

std::string TComSelect::DeviceValueText() const {
    switch (m_comProperty) {
    case cpPort:
        return m_comPort->Port();
    case cpBaudRate:
        return BaudRateToText(m_comPort->BaudRate());
    case cpDataBits:
        return DataBitsToText(m_comPort->DataBits());
    case cpStopBits:
        return StopBitsToText(m_comPort->StopBits());
    case cpParity:
        return ParityToText(m_comPort->Parity().Bits());
    case cpFlowControl:
        return FlowControlToText(m_comPort->FlowControl().FlowControl());
    case cpNone:
        break;
    }
    return std::string();
}

void TComSelect::ShowDeviceValue() {
    if (m_comPort == nullptr || m_comProperty == cpNone) {
        return;
    }
    const std::string text = DeviceValueText();
    m_itemIndex = -1;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (SameTextAscii(m_items[i], text)) {
            m_itemIndex = static_cast<int>(i);
            TakeText(m_items[i]);
            return;
        }
    }
}

void TComSelect::TakeText(const std::string& text) {
    switch (m_comProperty) {
    case cpPort:
        m_port = text;
        break;
    case cpBaudRate:
        m_baudRate = TextToBaudRate(text);
        break;
    case cpDataBits:
        m_dataBits = TextToDataBits(text);
        break;
    case cpStopBits:
        m_stopBits = TextToStopBits(text);
        break;
    case cpParity:
        m_parity = TextToParity(text);
        break;
    case cpFlowControl:
        m_flowControl = TextToFlowControl(text);
        break;
    case cpNone:
        break;
    }
}

void TComSelect::ApplyPending() {
    if (m_comPort == nullptr) {
        return;
    }
    switch (m_comProperty) {
    case cpPort:
        m_comPort->SetPort(m_port);
        break;
    case cpBaudRate:
        m_comPort->SetBaudRate(m_baudRate);
        break;
    case cpDataBits:
        m_comPort->SetDataBits(m_dataBits);
        break;
    case cpStopBits:
        m_comPort->SetStopBits(m_stopBits);
        break;
    case cpParity:
        m_comPort->Parity().SetBits(m_parity);
        break;
    case cpFlowControl:
        m_comPort->FlowControl().SetFlowControl(m_flowControl);
        break;
    case cpNone:
        break;
    }
}

void TComSelect::UserSelect(int index) {
    SetItemIndex(index);
    if (m_itemIndex >= 0) {
        TakeText(Text());
        if (m_autoApply) {
            ApplyPending();
        }
    }
    if (OnChange) {
        OnChange();
    }
}

void TComSelect::DeviceFreed(TCustomComPort* port) {
    if (port != m_comPort) {
        return;
    }
    m_comPort = nullptr;
    m_itemIndex = m_items.empty() ? -1 : 0;
}
