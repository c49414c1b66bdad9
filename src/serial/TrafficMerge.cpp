#include "serial/TrafficMerge.h"

#include <iterator>

TTrafficMerge::TTrafficMerge(TOruScomm& first, TOruScomm& second)
    : m_first(first), m_second(second) {
    m_second.ReceivedDirection = 'B';
    for (TOruScomm* c : {&m_first, &m_second}) {
        std::lock_guard<std::mutex> guard(c->m_mergeLock);
        c->m_merge = this;
        // Records a port held back on its own join the merge's, in the order they began.
        std::lock_guard<std::mutex> held(m_lock);
        for (TOruScomm::TPending& record : c->m_held) {
            auto at = m_held.end();
            while (at != m_held.begin() && StartsBefore(record.start, std::prev(at)->start)) {
                --at;
            }
            m_held.insert(at, std::move(record));
        }
        c->m_held.clear();
    }
}

TTrafficMerge::~TTrafficMerge() {
    // Taking each merge lock waits for a hand-over under way, so none comes after this.
    for (TOruScomm* c : {&m_first, &m_second}) {
        std::lock_guard<std::mutex> guard(c->m_mergeLock);
        c->m_merge = nullptr;
    }
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        try {
            queued = Release(true);
        } catch (...) {
        }
    }
    if (queued && m_first.OnRecordQueued) {
        m_first.OnRecordQueued();
    }
}

size_t TTrafficMerge::Held() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_held.size();
}

bool TTrafficMerge::Arrive(TStartMark& mark, std::optional<TOruScomm::TPending> record) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (record) {
        // Mostly at the end; a send and a burst of one port may come in either order.
        auto at = m_held.end();
        while (at != m_held.begin() && StartsBefore(record->start, std::prev(at)->start)) {
            --at;
        }
        m_held.insert(at, std::move(*record));
    }
    // Only once the record is held: a release that sees the mark ended sees the record.
    mark.End();
    return Release(false);
}

bool TTrafficMerge::Release(bool all) {
    uint32_t bound = 0;
    if (!all) {
        // The clock before the marks: a mark seen idle starts its next record after `now`.
        const uint32_t now = m_first.m_clock.Milliseconds();
        const std::optional<uint32_t> first = m_first.Bound(now);
        const std::optional<uint32_t> second = m_second.Bound(now);
        if (!first || !second) {
            return false;
        }
        bound = StartsBefore(*second, *first) ? *second : *first;
    }
    bool queued = false;
    while (!m_held.empty() && (all || !StartsBefore(bound, m_held.front().start))) {
        queued = m_first.QueuePending(m_held.front()) || queued;
        m_held.pop_front();
    }
    return queued;
}
