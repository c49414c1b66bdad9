#pragma once
// Scheduling of a thread that must note the moment an event comes. One implementation per
// operating system, beside the other system services (PlatformPosix.cpp, PlatformWin32.cpp).

// A thread that notes the moment an event comes (a receive thread stamping the start of a
// burst) asks, for the length of its wait only, to run as soon as the event wakes it rather
// than after whatever else keeps the cores busy. After the wake it is scheduled as before,
// so the work the event brings cannot take the machine from other programs. It gets what
// the system grants: on Linux the lowest real-time priority where the thread may have it,
// else a short time slice (a waking thread with one cuts in on the running one); on
// Windows a higher thread priority. Where nothing is granted, nothing changes. A thread
// that was not scheduled in the ordinary way (real-time already, or batch or idle on
// purpose) is left as it is. One object per thread; every call on that thread.
class TPromptWake {
public:
    enum class Grant { Untried, None, ShortSlice, RealTime, HigherPriority };
    TPromptWake() = default;
    // Leave().
    ~TPromptWake();
    TPromptWake(const TPromptWake&) = delete;
    TPromptWake& operator=(const TPromptWake&) = delete;

    // Before the wait. The first call finds out what is granted, quietly.
    void Enter();
    // After the wake: the thread's own class, priority and nice value again. Does nothing
    // when not entered.
    void Leave();
    Grant Granted() const { return m_grant; }

private:
    Grant m_grant = Grant::Untried;
    bool m_raised = false;
    int m_policy = 0; // the thread's own scheduling, restored by Leave
    int m_priority = 0;
};
