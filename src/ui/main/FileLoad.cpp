#include "ui/main/FileLoad.h"

#include "platform/FileIO.h"
#include "richtext/LineStore.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

namespace {

// Below this a load takes a few milliseconds: no thread, no dialog.
constexpr uint64_t kQuickLoadBytes = 4u << 20;
constexpr int kSteps = 1000;

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

std::optional<StyledText> LoadStyledFile(QWidget* parent, const std::string& path, uint64_t limit,
                                         const TextStyle& plainStyle) {
    const QFileInfo info(QString::fromStdString(path));
    if (!info.isFile() || static_cast<uint64_t>(info.size()) < kQuickLoadBytes) {
        // Everything that is refused is refused here too, before any thread starts.
        return StyledFromFile(ReadFileBytes(path, limit), plainStyle);
    }

    TLoadState state;
    std::thread worker([&state, path, limit, plainStyle] {
        try {
            const std::string bytes =
                ReadFileBytes(path, limit, [&](uint64_t done, uint64_t total) {
                    state.step = StepOf(done, total, 0);
                    return !state.cancel.load();
                });
            state.text = StyledFromFile(bytes, plainStyle, [&](uint64_t done, uint64_t total) {
                state.step = StepOf(done, total, kSteps / 2);
                return !state.cancel.load();
            });
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

StyledText StyledFromLine(const StyledText& text, int64_t firstLine) {
    StyledText out;
    int64_t line = 0;
    for (const StyledRun& run : text) {
        if (line >= firstLine) {
            out.push_back(run);
            continue;
        }
        size_t at = 0;
        while (line < firstLine) {
            const size_t found = run.text.find('\n', at);
            if (found == std::string::npos) {
                break;
            }
            ++line;
            at = found + 1;
        }
        if (line >= firstLine && at < run.text.size()) {
            out.push_back({run.text.substr(at), run.style});
        }
    }
    return out;
}
