#pragma once
// Two ports in one traffic view: a second port that is only listened to (a tap on the
// other wire of a line) hands its records, marked "B", into the first port's queue, in
// the order in which the bursts of both ports began. Each port keeps its own receive
// thread; a record waits here only until neither port can still hand over one that began
// earlier, which is at most one read window. The gap in each header counts from the line
// before it, whichever port that came from.

#include "serial/OruScomm.h"

#include <cstddef>
#include <deque>
#include <mutex>

class TTrafficMerge {
public:
    // From now on both connections hand their records to the merge; the second one's own
    // queue stays unused. Both connections must outlive the merge and read one clock. The
    // second one is made a tap: its records are marked "B" and nothing is sent to it.
    TTrafficMerge(TOruScomm& first, TOruScomm& second);
    // Queues every record still held, in order; both connections queue on their own again.
    ~TTrafficMerge();
    TTrafficMerge(const TTrafficMerge&) = delete;
    TTrafficMerge& operator=(const TTrafficMerge&) = delete;

    TOruScomm& First() const { return m_first; }
    TOruScomm& Second() const { return m_second; }
    // Records waiting for the other port.
    size_t Held() const;

private:
    friend class TOruScomm;
    // A producer of `mark` hands over a record (or ends a pass without one); called under
    // that connection's merge lock. True when a record went into the first queue.
    bool Arrive(TStartMark& mark, std::optional<TOruScomm::TPending> record);
    // Queues the held records that nothing still to come can precede; all of them with
    // `all`. Under m_lock.
    bool Release(bool all);

    TOruScomm& m_first;
    TOruScomm& m_second;
    mutable std::mutex m_lock;
    std::deque<TOruScomm::TPending> m_held; // in order of start
};
