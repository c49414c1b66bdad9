#include "ui/main/TrafficTrim.h"

#include "ui/main/RichView.h"

#include <algorithm>

bool TrimTrafficView(RichView& view, const TTrafficLimits& limits) {
    const TLineStore& store = view.Store();
    // The last line shown stays, and the empty line after a final line break with it.
    const int keep = store.Line(store.Count() - 1).text.Empty() ? 2 : 1;
    int count = 0;
    if (view.WordWrap()) {
        // The cap counts rows: a long line wraps into thousands of them, so the lines to
        // drop are those whose rows add up to the cut, not that many lines.
        if (view.VisualLineCount() > limits.lineCap) {
            count = OldestLinesCovering(store.Count(), limits.linesCut, keep,
                                        [&view](int line) { return view.RowsOfLine(line); });
        }
    } else if (view.LineCount() > limits.lineCap) {
        count = limits.linesCut;
    }
    int64_t memory = store.MemoryBytes();
    for (int line = 0; line < std::min(count, store.Count()); ++line) {
        memory -= TLineStore::LineBytes(store.Line(line));
    }
    if (memory > limits.memoryBudget) {
        const int first = count;
        count += OldestLinesCovering(
            store.Count() - first, memory - limits.memoryBudget / 8 * 7, keep,
            [&store, first](int line) { return TLineStore::LineBytes(store.Line(first + line)); });
    }
    // Long lines can fill the view's capacity long before the line cap acts, and a full
    // view would cut new traffic short: the oldest lines make room instead, down to three
    // quarters of the capacity.
    const int64_t capacity = view.MaxLength();
    const int64_t reserve = std::min<int64_t>(limits.burstReserve, capacity / 4);
    if (view.TextLength() > capacity - reserve) {
        const int64_t excess = view.TextLength() - capacity / 4 * 3;
        count = std::max(count, OldestLinesCovering(store.Count(), excess, 1, [&store](int line) {
                             return store.LineLength(line) + 1;
                         }));
    }
    if (count <= 0) {
        return false;
    }
    view.DeleteFirstLines(count);
    view.MoveCaretToEnd();
    return true;
}
