#pragma once
// Waiting for what the receive thread queues.

#include "serial/OruScomm.h"

#include <chrono>
#include <string>
#include <thread>

// The next record of the connection, waiting for the receive thread up to a generous
// bound; empty when none came.
inline std::string NextRecord(TOruScomm& c,
                              std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto giveUp = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < giveUp) {
        if (std::optional<TQueuedRecord> s = c.TakeRecord()) {
            return std::move(*s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::string();
}
