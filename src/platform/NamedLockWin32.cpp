#include "platform/NamedLock.h"

#include "platform/WindowsApi.h"

struct TNamedLock::SharedBlock {
    HANDLE mutex = nullptr;
};

namespace {

// Kernel object names may not contain '\' except after a "Global\" or "Local\" prefix;
// a leading '/' (the POSIX spelling of such names) is dropped.
std::string KernelName(const std::string& name) {
    return !name.empty() && name[0] == '/' ? name.substr(1) : name;
}

} // namespace

TNamedLock::TNamedLock(const std::string& name) {
    const std::string kernelName = KernelName(name);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kernelName.c_str());
    m_shared = mutex != nullptr;
    if (mutex == nullptr) {
        // The name belongs to an object of another kind or of a session we may not open.
        mutex = CreateMutexA(nullptr, FALSE, nullptr);
    }
    if (mutex != nullptr) {
        m_block = new SharedBlock{mutex};
    }
}

TNamedLock::~TNamedLock() {
    if (m_block != nullptr) {
        CloseHandle(m_block->mutex);
        delete m_block;
    }
}

bool TNamedLock::Acquire(uint32_t timeoutMs) {
    if (m_block == nullptr) {
        return false;
    }
    // An abandoned mutex (its holder ended while holding it) is handed to this waiter.
    const DWORD result = WaitForSingleObject(m_block->mutex, timeoutMs);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void TNamedLock::Release() {
    if (m_block != nullptr) {
        ReleaseMutex(m_block->mutex);
    }
}

void TNamedLock::Remove(const std::string&) {
    // A kernel object ends with its last handle; there is nothing to delete by name.
}
