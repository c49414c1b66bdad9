#pragma once
// A port driver that records every call, for what a pseudo-terminal cannot show: control
// block flag words, the exact number of calls, modem lines and failing calls.
//
// The record lives in a FakeComLog shared with the test, so it outlives the device that
// owns the driver.

#include "serial/ComDriver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct FakeComLog {
    std::mutex lock;
    // Call names in order: "Open:<port>", "Close", "SetupComm", "SetCommState",
    // "SetCommTimeouts", "SetCommMask", "WaitCommEvent", "ReadFile", "WriteFile",
    // "PurgeComm", "ClearCommError", "GetCommModemStatus".
    std::vector<std::string> calls;
    std::vector<TComDcb> states;
    std::vector<TComTimeoutValues> timeouts;
    std::vector<uint32_t> masks;
    std::vector<uint32_t> purges;
    uint32_t inputSize = 0;
    uint32_t outputSize = 0;
    std::string written;
    bool open = false;

    // What the driver answers.
    std::map<std::string, int32_t> failures; // call name (without ":<port>") -> error code
    uint32_t modemStatus = 0;
    uint32_t waitEvents = 0;            // events WaitCommEvent reports
    std::deque<std::string> readChunks; // one per ReadFile; empty: reads return 0 bytes
    uint32_t inputQueue = 0;
    bool present = true; // what PortPresent answers

    size_t Count(const std::string& name) {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), name));
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock);
        calls.clear();
        states.clear();
        timeouts.clear();
        masks.clear();
        purges.clear();
    }
};

class FakeComDriver : public TComDriver {
public:
    explicit FakeComDriver(std::shared_ptr<FakeComLog> log = std::make_shared<FakeComLog>())
        : m_log(std::move(log)) {}
    const std::shared_ptr<FakeComLog>& Log() const { return m_log; }
    // As a thread of the driver's own tells a failure (a network connection's reader).
    void TellThreadFailure(const std::string& what) const { ReportThreadFailure(what); }

    bool Open(const std::string& port) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("Open:" + port);
        if (!Succeeds("Open")) {
            return false;
        }
        m_log->open = true;
        return true;
    }
    bool Close() override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("Close");
        m_log->open = false;
        return Succeeds("Close");
    }
    bool SetupComm(uint32_t inputSize, uint32_t outputSize) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("SetupComm");
        m_log->inputSize = inputSize;
        m_log->outputSize = outputSize;
        return Succeeds("SetupComm");
    }
    bool SetCommState(const TComDcb& dcb) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("SetCommState");
        m_log->states.push_back(dcb);
        return Succeeds("SetCommState");
    }
    bool SetCommTimeouts(const TComTimeoutValues& timeouts) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("SetCommTimeouts");
        m_log->timeouts.push_back(timeouts);
        return Succeeds("SetCommTimeouts");
    }
    bool SetCommMask(uint32_t mask) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("SetCommMask");
        m_log->masks.push_back(mask);
        return Succeeds("SetCommMask");
    }
    bool WaitCommEvent(uint32_t& events, TComStopEvent*, int32_t) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("WaitCommEvent");
        events = 0;
        if (!Succeeds("WaitCommEvent")) {
            return false;
        }
        events = m_log->waitEvents;
        return true;
    }
    bool ReadFile(void* buffer, uint32_t count, uint32_t& transferred) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("ReadFile");
        transferred = 0;
        if (!Succeeds("ReadFile")) {
            return false;
        }
        if (!m_log->readChunks.empty()) {
            const std::string chunk = m_log->readChunks.front();
            m_log->readChunks.pop_front();
            transferred = std::min<uint32_t>(count, static_cast<uint32_t>(chunk.size()));
            std::memcpy(buffer, chunk.data(), transferred);
        }
        return true;
    }
    bool WriteFile(const void* data, uint32_t count, uint32_t& transferred) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("WriteFile");
        transferred = 0;
        if (!Succeeds("WriteFile")) {
            return false;
        }
        m_log->written.append(static_cast<const char*>(data), count);
        transferred = count;
        return true;
    }
    bool PurgeComm(uint32_t flags) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("PurgeComm");
        m_log->purges.push_back(flags);
        return Succeeds("PurgeComm");
    }
    bool ClearCommError(uint32_t& errors, uint32_t& inputQueue) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("ClearCommError");
        errors = 0;
        inputQueue = m_log->inputQueue;
        return Succeeds("ClearCommError");
    }
    bool GetCommModemStatus(uint32_t& status) override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        m_log->calls.push_back("GetCommModemStatus");
        status = m_log->modemStatus;
        return Succeeds("GetCommModemStatus");
    }
    int32_t LastError() const override { return m_lastError.load(); }
    bool PortPresent(const std::string&) const override {
        std::lock_guard<std::mutex> guard(m_log->lock);
        return m_log->present;
    }

private:
    // Caller holds the log's lock.
    bool Succeeds(const std::string& name) {
        const auto it = m_log->failures.find(name);
        if (it == m_log->failures.end()) {
            return true;
        }
        m_lastError = it->second;
        return false;
    }

    std::shared_ptr<FakeComLog> m_log;
    std::atomic<int32_t> m_lastError{0};
};
