#pragma once
// The driver every port goes through: it picks the network driver or the system's serial
// driver by the port's name.

#include "serial/ComDriver.h"
#include "serial/ComDriverSocket.h"

#include <atomic>
#include <memory>
#include <string>

// The driver the port device uses: a network address (or a virtual port whose file holds
// one) goes to the socket driver, every other name to the system's serial driver.
class TComDriverByName final : public TComDriver {
public:
    explicit TComDriverByName(std::unique_ptr<TComDriver> serial);
    TComDriverByName(std::unique_ptr<TComDriver> serial, std::string portsFolder);

    // The address a port name stands for, or empty when it names a serial device.
    std::string NetworkAddressOf(const std::string& port) const;

    bool Open(const std::string& port) override;
    bool Close() override { return Active().Close(); }
    bool SetupComm(uint32_t inputSize, uint32_t outputSize) override {
        return Active().SetupComm(inputSize, outputSize);
    }
    bool SetCommState(const TComDcb& dcb) override { return Active().SetCommState(dcb); }
    bool SetCommTimeouts(const TComTimeoutValues& timeouts) override {
        return Active().SetCommTimeouts(timeouts);
    }
    bool SetCommMask(uint32_t mask) override { return Active().SetCommMask(mask); }
    bool WaitCommEvent(uint32_t& events, TComStopEvent* stop, int32_t timeoutMs) override {
        return Active().WaitCommEvent(events, stop, timeoutMs);
    }
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override {
        return Active().ReadFile(buffer, count, transferred);
    }
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override {
        return Active().WriteFile(data, count, transferred);
    }
    bool PurgeComm(uint32_t flags) override { return Active().PurgeComm(flags); }
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override {
        return Active().ClearCommError(errors, inputQueue);
    }
    bool GetCommModemStatus(uint32_t& status) override {
        return Active().GetCommModemStatus(status);
    }
    int32_t LastError() const override;
    bool SendBreak() override { return Active().SendBreak(); }
    std::string PortNotice() const override { return Active().PortNotice(); }
    bool PortPresent(const std::string& port) const override {
        const std::string address = NetworkAddressOf(port);
        return address.empty() ? m_serial->PortPresent(port) : m_socket->PortPresent(address);
    }
    bool PortReturned(const std::string& port) override {
        const std::string address = NetworkAddressOf(port);
        return address.empty() ? m_serial->PortReturned(port) : m_socket->PortReturned(address);
    }
    bool OpenMayWait(const std::string& port) const override {
        return !NetworkAddressOf(port).empty();
    }
    void SetOpenStopped(bool stopped) override { m_socket->SetOpenStopped(stopped); }
    std::string DescribeOpenFailure(const std::string& port, int32_t error) const override {
        const std::string address = NetworkAddressOf(port);
        return address.empty() ? m_serial->DescribeOpenFailure(port, error)
                               : m_socket->DescribeOpenFailure(address, error);
    }

    void SetFailureHandler(TFailureHandler handler) override {
        m_serial->SetFailureHandler(handler);
        m_socket->SetFailureHandler(std::move(handler));
    }

    TComDriver& Serial() { return *m_serial; }
    TComDriverSocket& Socket() { return *m_socket; }

private:
    TComDriver& Active() const { return m_useSocket.load() ? *m_socket : *m_serial; }

    std::unique_ptr<TComDriver> m_serial;
    std::unique_ptr<TComDriverSocket> m_socket;
    std::string m_portsFolder;
    // Changes only in Open, while no other call is under way.
    std::atomic<bool> m_useSocket{false};
};

// The port device's default driver: the system's serial driver behind TComDriverByName.
std::unique_ptr<TComDriver> CreatePortDriver();
