#pragma once
// A lock shared by every process that opens it under the same name: what the traffic queue
// uses so that two running copies of the program take turns on it.
//
// Waits are bounded; a lock whose holder died while holding it is taken over and counts as
// acquired (the holder's data may be half-written, but nothing it guarded stays locked
// forever).

#include <cstdint>
#include <string>

class TNamedLock {
public:
    // Opens the lock of this name, creating it when no process has it yet. When the shared
    // object cannot be opened (another user's object of the same name, no shared memory),
    // the lock falls back to one private to this process.
    explicit TNamedLock(const std::string& name);
    ~TNamedLock();
    TNamedLock(const TNamedLock&) = delete;
    TNamedLock& operator=(const TNamedLock&) = delete;

    // True when the lock is held by the caller on return; false after timeoutMs without it.
    bool Acquire(uint32_t timeoutMs);
    void Release();

    // True when the lock is shared with other processes (not the private fallback).
    bool Shared() const { return m_shared; }

    // Deletes the shared object of this name; processes that have it open keep using it.
    static void Remove(const std::string& name);

private:
    struct SharedBlock;
    SharedBlock* m_block = nullptr;
    bool m_shared = false;
};

// Holds a TNamedLock for one scope when the bounded wait succeeds.
class TNamedLockGuard {
public:
    TNamedLockGuard(TNamedLock& lock, uint32_t timeoutMs)
        : m_lock(lock), m_owns(lock.Acquire(timeoutMs)) {}
    ~TNamedLockGuard() {
        if (m_owns) {
            m_lock.Release();
        }
    }
    TNamedLockGuard(const TNamedLockGuard&) = delete;
    TNamedLockGuard& operator=(const TNamedLockGuard&) = delete;

    bool Owns() const { return m_owns; }

private:
    TNamedLock& m_lock;
    bool m_owns;
};
