#include "ui/main/FileLoad.h"

#include "platform/FileIO.h"
#include "platform/Platform.h"
#include "richtext/LineStore.h"
#include "ui/main/RichView.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <thread>

namespace {

// Below this a load takes a few tens of milliseconds even for rich text that changes colour
// every character (which parses at a few MB a second): no thread, no dialog.
constexpr uint64_t kQuickLoadBytes = 256u << 10;
constexpr int kSteps = 1000;

// Below this a buffer is simply freed.
constexpr size_t kGradualBytes = size_t{4} << 20;

void FreeBytes(std::string& bytes) {
    if (bytes.capacity() >= kGradualBytes) {
        ReleasePagesGradually(bytes.data(), bytes.capacity());
    }
    std::string().swap(bytes);
}

// The worker's state as the dialog sees it: reading is the first half of the bar,
// parsing the second.
struct TLoadState {
    std::atomic<int> step{0};
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::optional<StyledText> text;
    std::exception_ptr error;
};

int StepOf(uint64_t done, uint64_t total, int from) {
    if (total == 0) {
        return from;
    }
    return from + static_cast<int>(std::min<uint64_t>(done, total) * (kSteps / 2) / total);
}

} // namespace

uint64_t ViewLoadLimit(int64_t capacityCharacters, int memoryBudgetMB) {
    const uint64_t budget = static_cast<uint64_t>(std::max(memoryBudgetMB, 1)) << 20;
    return std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(capacityCharacters, 0)),
                              budget / 2);
}

namespace {

// LoadStyledFile with `finish` done to the text where it was parsed (on the worker for a
// large file).
std::optional<StyledText> LoadStyledFileThen(QWidget* parent, const std::string& path,
                                             uint64_t limit, const TextStyle& plainStyle,
                                             const std::function<void(StyledText&)>& finish) {
    const QFileInfo info(QString::fromStdString(path));
    if (!info.isFile() || static_cast<uint64_t>(info.size()) < kQuickLoadBytes) {
        // Everything that is refused is refused here too, before any thread starts.
        StyledText text = StyledFromFile(ReadFileBytes(path, limit), plainStyle);
        if (finish) {
            finish(text);
        }
        return text;
    }

    TLoadState state;
    std::thread worker([&state, &finish, path, limit, plainStyle] {
        try {
            std::string bytes = ReadFileBytes(path, limit, [&](uint64_t done, uint64_t total) {
                state.step = StepOf(done, total, 0);
                return !state.cancel.load();
            });
            StyledText text = StyledFromFile(bytes, plainStyle, [&](uint64_t done, uint64_t total) {
                state.step = StepOf(done, total, kSteps / 2);
                return !state.cancel.load();
            });
            FreeBytes(bytes);
            if (finish) {
                finish(text);
            }
            state.text = std::move(text);
        } catch (...) {
            state.error = std::current_exception();
        }
        state.done = true;
    });

    QProgressDialog dialog(QStringLiteral("Opening %1 ...").arg(info.fileName()),
                           QStringLiteral("Cancel"), 0, kSteps, parent);
    dialog.setObjectName(QStringLiteral("LoadProgress"));
    dialog.setWindowTitle(QStringLiteral("Open"));
    dialog.setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    dialog.setMinimumDuration(500);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    QObject::connect(&dialog, &QProgressDialog::canceled, [&state] { state.cancel = true; });

    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (dialog.wasCanceled()) {
            state.cancel = true;
        }
        if (state.done) {
            loop.quit();
            return;
        }
        dialog.setValue(state.step);
    });
    poll.start(30);
    dialog.setValue(0);
    loop.exec();
    poll.stop();
    worker.join();
    dialog.hide();

    if (state.error) {
        try {
            std::rethrow_exception(state.error);
        } catch (const ECancelled&) {
            return std::nullopt;
        }
    }
    if (state.cancel) {
        return std::nullopt;
    }
    return std::move(state.text);
}

} // namespace

std::optional<StyledText> LoadStyledFile(QWidget* parent, const std::string& path, uint64_t limit,
                                         const TextStyle& plainStyle) {
    return LoadStyledFileThen(parent, path, limit, plainStyle, {});
}

std::optional<TFittedFile> LoadFittedFile(QWidget* parent, const std::string& path, uint64_t limit,
                                          const TextStyle& plainStyle, const TTrafficLimits& limits,
                                          int64_t capacityCharacters) {
    TFileFit fit;
    auto text = LoadStyledFileThen(parent, path, limit, plainStyle, [&](StyledText& loaded) {
        fit = FitAndCut(loaded, limits, capacityCharacters);
    });
    if (!text) {
        return std::nullopt;
    }
    return TFittedFile{std::move(*text), fit};
}

TFileFit FitAndCut(StyledText& text, const TTrafficLimits& limits, int64_t capacityCharacters) {
    const TFileFit fit = FitFileToView(text, limits, capacityCharacters);
    if (fit.firstShown > 0) {
        CutBeforeLine(text, fit.firstShown);
    }
    return fit;
}

TFileFit FitFileToView(const StyledText& text, const TTrafficLimits& limits,
                       int64_t capacityCharacters) {
    // From the last line back: the lines that fit are the newest ones.
    const bool endsWithBreak =
        !text.empty() && !text.back().text.empty() && text.back().text.back() == '\n';
    const int64_t characterRoom =
        capacityCharacters - std::min<int64_t>(limits.burstReserve, capacityCharacters / 4);
    int64_t stored = 0;
    int64_t kept = 0;
    bool full = false;
    int64_t memory = 0;
    int64_t characters = 0;
    int64_t lineCharacters = 0;
    int lineRuns = 0;
    const auto finishLine = [&] {
        ++stored;
        if (!full) {
            // UTF-8 bytes count at least the characters they make.
            const int64_t bytes = TLineStore::LineBytesFor(lineCharacters, lineRuns);
            const int64_t readerLines = stored - (endsWithBreak ? 1 : 0);
            if (readerLines > limits.lineCap || memory + bytes > limits.memoryBudget ||
                characters + lineCharacters + (stored - 1) > characterRoom) {
                full = true;
            } else {
                memory += bytes;
                characters += lineCharacters;
                kept = stored;
            }
        }
        lineCharacters = 0;
        lineRuns = 0;
    };
    for (auto run = text.rbegin(); run != text.rend(); ++run) {
        const std::string_view chars(run->text);
        size_t end = chars.size();
        while (true) {
            if (full) {
                // The rest only counts: a file of tens of millions of lines is counted at
                // the speed of a byte scan.
                stored += std::count(chars.begin(),
                                     chars.begin() + static_cast<std::ptrdiff_t>(end), '\n');
                break;
            }
            const size_t at = end == 0 ? std::string_view::npos : chars.rfind('\n', end - 1);
            const size_t start = at == std::string_view::npos ? 0 : at + 1;
            if (end > start) {
                lineCharacters += static_cast<int64_t>(end - start);
                ++lineRuns;
            }
            if (at == std::string_view::npos) {
                break;
            }
            finishLine();
            end = at;
        }
    }
    finishLine();
    TFileFit fit;
    fit.lines = stored - (endsWithBreak ? 1 : 0);
    // The last line always shows: the load limit keeps it within the view.
    fit.firstShown = stored - std::max<int64_t>(kept, 1);
    return fit;
}

namespace {

// Where a line begins: a run of the text and a byte in it.
struct TTextAt {
    size_t run = 0;
    size_t at = 0;
};

// Where line firstLine begins ({text.size(), 0} when the text has fewer lines).
TTextAt LineStart(const StyledText& text, int64_t firstLine) {
    int64_t line = 0;
    for (size_t r = 0; r < text.size(); ++r) {
        if (line >= firstLine) {
            return {r, 0};
        }
        const std::string& run = text[r].text;
        size_t at = 0;
        // Whole stretches without the line sought are counted, not walked.
        constexpr size_t kStretch = 64 * 1024;
        while (at < run.size()) {
            const size_t stretch = std::min(kStretch, run.size() - at);
            const auto breaks =
                std::count(run.begin() + static_cast<std::ptrdiff_t>(at),
                           run.begin() + static_cast<std::ptrdiff_t>(at + stretch), '\n');
            if (line + breaks >= firstLine) {
                break;
            }
            line += breaks;
            at += stretch;
        }
        while (line < firstLine) {
            const size_t found = run.find('\n', at);
            if (found == std::string::npos) {
                break;
            }
            ++line;
            at = found + 1;
        }
        if (line >= firstLine) {
            return {r, at};
        }
    }
    return {text.size(), 0};
}

} // namespace

StyledText StyledFromLine(const StyledText& text, int64_t firstLine) {
    const TTextAt start = LineStart(text, firstLine);
    StyledText out;
    for (size_t r = start.run; r < text.size(); ++r) {
        const size_t from = r == start.run ? start.at : 0;
        if (from < text[r].text.size()) {
            out.push_back({text[r].text.substr(from), text[r].style});
        }
    }
    return out;
}

void CutBeforeLine(StyledText& text, int64_t firstLine) {
    TTextAt start = LineStart(text, firstLine);
    if (start.run < text.size() && start.at >= text[start.run].text.size()) {
        start = {start.run + 1, 0}; // nothing of that run is left
    }
    for (size_t r = 0; r < start.run; ++r) {
        FreeBytes(text[r].text);
    }
    if (start.run < text.size() && start.at > 0) {
        std::string rest = text[start.run].text.substr(start.at);
        FreeBytes(text[start.run].text);
        text[start.run].text = std::move(rest);
    }
    text.erase(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(start.run));
    // The room the cut left at the end of the list goes back as well.
    if ((text.capacity() - text.size()) * sizeof(StyledRun) >= kGradualBytes) {
        ReleasePagesGradually(text.data() + text.size(),
                              (text.capacity() - text.size()) * sizeof(StyledRun));
    }
}

void FreeStyledText(StyledText& text) {
    const bool large = text.capacity() * sizeof(StyledRun) >= kGradualBytes ||
                       std::any_of(text.begin(), text.end(), [](const StyledRun& run) {
                           return run.text.capacity() >= kGradualBytes;
                       });
    if (!large) {
        StyledText().swap(text);
        return;
    }
    // Millions of runs take a while to free even so: on a thread of its own, with the
    // window's events served meanwhile.
    StyledText doomed;
    doomed.swap(text);
    QEventLoop loop;
    std::thread worker([&doomed, &loop] {
        for (StyledRun& run : doomed) {
            FreeBytes(run.text);
        }
        const size_t bytes = doomed.capacity() * sizeof(StyledRun);
        void* data = doomed.data();
        doomed.clear();
        ReleasePagesGradually(data, bytes);
        StyledText().swap(doomed);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

namespace {

// Walks styled text slice by slice.
class TSliceReader {
public:
    TSliceReader(const StyledText& text, const TFillSlice& limits)
        : m_text(text), m_limits(limits) {}

    bool Done() const { return m_run >= m_text.size(); }
    int64_t LinesRead() const { return m_lines; }
    int64_t CharactersRead() const { return m_characters; }

    StyledText Next() {
        StyledText slice;
        int64_t characters = 0;
        int64_t lines = 0;
        while (!Done() && characters < m_limits.characters && lines < m_limits.lines &&
               static_cast<int64_t>(slice.size()) < m_limits.runs) {
            const std::string& run = m_text[m_run].text;
            if (m_at >= run.size()) {
                ++m_run;
                m_at = 0;
                continue;
            }
            size_t take = std::min<size_t>(run.size() - m_at,
                                           static_cast<size_t>(m_limits.characters - characters));
            // End at a line end in reach, so a slice leaves whole lines behind it. Only
            // the slice's own stretch is searched: a line of 100 MB is not walked back over
            // for every slice of it.
            const size_t lineEnd = std::string_view(run).substr(m_at, take).rfind('\n');
            if (m_at + take < run.size() && lineEnd != std::string_view::npos) {
                take = lineEnd + 1;
            }
            // Never inside a UTF-8 sequence.
            while (m_at + take < run.size() && take > 1 &&
                   (static_cast<unsigned char>(run[m_at + take]) & 0xC0) == 0x80) {
                --take;
            }
            const std::string_view piece(run.data() + m_at, take);
            int64_t pieceLines = 0;
            size_t from = 0;
            for (size_t nl = piece.find('\n'); nl != std::string_view::npos;
                 nl = piece.find('\n', nl + 1)) {
                ++pieceLines;
                from = nl + 1;
                if (lines + pieceLines >= m_limits.lines) {
                    break;
                }
            }
            if (lines + pieceLines >= m_limits.lines) {
                take = from;
            }
            slice.push_back({std::string(piece.substr(0, take)), m_text[m_run].style});
            characters += static_cast<int64_t>(take);
            lines += pieceLines;
            m_at += take;
            if (m_at >= run.size()) {
                ++m_run;
                m_at = 0;
            }
        }
        m_lines += lines;
        m_characters += characters;
        return slice;
    }

    // Bytes from here to the next line end (or the end of the text): what the line the
    // last slice left open still has to come. Each line is walked once, however many
    // slices it spans.
    int64_t LineRest() {
        if (m_characters >= m_lineEndAt) {
            int64_t rest = 0;
            size_t at = m_at;
            for (size_t r = m_run; r < m_text.size(); ++r, at = 0) {
                const std::string& run = m_text[r].text;
                const size_t found = run.find('\n', at);
                if (found != std::string::npos) {
                    rest += static_cast<int64_t>(found - at);
                    break;
                }
                rest += static_cast<int64_t>(run.size() - at);
            }
            m_lineEndAt = m_characters + rest;
        }
        return m_lineEndAt - m_characters;
    }

private:
    const StyledText& m_text;
    TFillSlice m_limits;
    size_t m_run = 0;
    size_t m_at = 0;
    int64_t m_lines = 0;
    int64_t m_characters = 0;
    int64_t m_lineEndAt = -1; // m_characters where the open line ends, once walked
};

} // namespace

TFillOutcome FillViewInSlices(QWidget* parent, RichView& view, const StyledText& text,
                              const QString& caption, const TFillSlice& slice) {
    int64_t total = 0;
    for (const StyledRun& run : text) {
        total += static_cast<int64_t>(run.text.size());
    }
    QProgressDialog dialog(caption, QStringLiteral("Cancel"), 0, kSteps, parent);
    dialog.setObjectName(QStringLiteral("FillProgress"));
    dialog.setWindowTitle(QStringLiteral("Open"));
    dialog.setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    dialog.setMinimumDuration(500);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);

    TFillOutcome outcome;
    const TLineStore& store = view.Store();
    const uint64_t clears = store.Clears();
    uint64_t dropped = store.FrontLinesDropped();
    TTextPos end = store.End();
    TSliceReader reader(text, slice);
    view.BeginChange();
    while (!reader.Done()) {
        end = view.InsertStyledAt(end, reader.Next());
        ++outcome.slices;
        if (end.col > 0 && !reader.Done()) {
            // A line goes on into the next slice: the store learns how long it gets, so that
            // a long one is given its room once instead of being moved as it grows.
            view.ExpectLineBytes(store.LineLength(end.line) + reader.LineRest());
        }
        dialog.setValue(
            static_cast<int>(reader.CharactersRead() * kSteps / std::max<int64_t>(1, total)));
        // The window answers here: painting, input, timers, traffic.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (store.Clears() != clears) {
            // Emptied meanwhile: nothing of the file is left to go on from.
            outcome.cancelled = true;
            outcome.lines = 0;
            view.ExpectLineBytes(0);
            view.EndChange();
            return outcome;
        }
        // Lines dropped from the front meanwhile: the place to go on moves up with them.
        const int64_t gone = static_cast<int64_t>(store.FrontLinesDropped() - dropped);
        dropped = store.FrontLinesDropped();
        end.line = static_cast<int>(std::max<int64_t>(0, end.line - gone));
        if (dialog.wasCanceled()) {
            outcome.cancelled = !reader.Done();
            break;
        }
    }
    outcome.lines = reader.LinesRead();
    if (outcome.cancelled) {
        if (end.col > 0) {
            // The part of a line the last slice left: out again, so only whole lines stay.
            view.RemoveRange({end.line, 0}, end);
        }
    } else if (!text.empty() && !text.back().text.empty() && text.back().text.back() != '\n') {
        ++outcome.lines; // the last line has no line end, yet it is a line
    }
    view.ExpectLineBytes(0);
    view.EndChange();
    dialog.hide();
    return outcome;
}
