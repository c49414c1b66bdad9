#include "ui/main/FileLoad.h"

#include "platform/FileIO.h"

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
