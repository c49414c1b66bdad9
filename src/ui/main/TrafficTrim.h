#pragma once
// Keeps the traffic view bounded: the line cap, the memory budget and the capacity each
// drop the oldest lines, never the last one shown.

#include <cstdint>

class RichView;

struct TTrafficLimits {
    // More lines than this (rows with word wrap) drop the oldest `linesCut` of them.
    int lineCap = 120000;
    int linesCut = 20000;
    // The text's memory past this drops the oldest lines down to seven eighths of it.
    int64_t memoryBudget = int64_t{256} * 1024 * 1024;
    // Room kept below the view's capacity for the largest burst a read can bring: a whole
    // read buffer of received bytes in hex with its prefix, in characters.
    int64_t burstReserve = 4 * 1024 * 1024;
};

// Applies the limits after a change of the view; true when lines were dropped (the caret
// is then at the end).
bool TrimTrafficView(RichView& view, const TTrafficLimits& limits);
