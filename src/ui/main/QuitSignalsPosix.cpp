#include "ui/main/QuitSignals.h"

#include "platform/FileIO.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};

// Only async-signal-safe work here: the signal thread does the rest.
void OnSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
}

// Written to the pipe by the destructor to end the signal thread.
constexpr char StopByte = 0;

// Tells when the window begins to close, whoever asked it to.
class TCloseWatch final : public QObject {
public:
    explicit TCloseWatch(std::function<void()> closing) : m_closing(std::move(closing)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            m_closing();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_closing;
};

} // namespace

struct TQuitSignals::TState {
    QPointer<QWidget> window;
    TQuitHandling handling;
    std::thread thread;
    QElapsedTimer sincePublished;
    QMetaObject::Connection idle;
    std::unique_ptr<TCloseWatch> closeWatch;

    std::mutex lock;
    std::condition_variable answered;
    uint64_t asked = 0; // close requests sent to the window thread
    uint64_t taken = 0; // close requests the window thread has taken
    // The window has begun to close (it saves for itself), or the program is ending.
    bool closing = false;
    bool stopping = false;
    TQuitFiles published;

    void Publish() {
        if (!handling.collect) {
            return;
        }
        TQuitFiles files = handling.collect();
        sincePublished.restart();
        const std::lock_guard<std::mutex> guard(lock);
        published = std::move(files);
    }

    // The signal thread: each signal asks the window to close; a window thread that does
    // not take the request in time gets the published files written for it.
    void Run(const std::shared_ptr<TState>& self) {
        for (;;) {
            char byte = StopByte;
            const ssize_t n = ::read(g_pipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || byte == StopByte) {
                return;
            }
            uint64_t request = 0;
            {
                const std::lock_guard<std::mutex> guard(lock);
                request = ++asked;
            }
            QMetaObject::invokeMethod(
                window.data(),
                [self, request] {
                    {
                        const std::lock_guard<std::mutex> guard(self->lock);
                        self->taken = std::max(self->taken, request);
                    }
                    self->answered.notify_all();
                    if (self->window != nullptr) {
                        self->window->close();
                    }
                },
                Qt::QueuedConnection);
            std::unique_lock<std::mutex> guard(lock);
            if (answered.wait_for(guard, std::chrono::milliseconds(handling.answerWaitMs),
                                  [&] { return taken >= request || stopping; })) {
                if (stopping) {
                    return;
                }
                continue;
            }
            // The window thread is stuck. Unless its own close has saved, what it published
            // last is what can be kept (never written over a newer save of the window's).
            if (!closing) {
                for (const auto& [path, bytes] : published) {
                    try {
                        WriteFileAtomically(path, bytes);
                    } catch (...) {
                        // The other files are still worth writing.
                    }
                }
            }
            guard.unlock();
            if (handling.end) {
                handling.end(static_cast<unsigned char>(byte));
            } else {
                ::_exit(128 + static_cast<unsigned char>(byte));
            }
        }
    }
};

TQuitSignals::TQuitSignals(QWidget* window, TQuitHandling handling)
    : m_state(std::make_shared<TState>()) {
    m_state->window = window;
    m_state->handling = std::move(handling);
    if (g_pipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0) {
        return;
    }
    ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);

    TState* state = m_state.get();
    m_state->closeWatch = std::make_unique<TCloseWatch>([state] {
        const std::lock_guard<std::mutex> guard(state->lock);
        state->closing = true;
    });
    window->installEventFilter(m_state->closeWatch.get());

    // Published while the window is idle, so what is kept is what the user last saw.
    m_state->Publish();
    if (QAbstractEventDispatcher* dispatcher =
            QAbstractEventDispatcher::instance(window->thread())) {
        m_state->idle =
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, window, [state] {
                if (state->sincePublished.elapsed() >= state->handling.publishMs) {
                    state->Publish();
                }
            });
    }

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(s, &action, nullptr);
    }
    m_state->thread = std::thread([state = m_state] { state->Run(state); });
}

TQuitSignals::~TQuitSignals() {
    QObject::disconnect(m_state->idle);
    if (m_state->window != nullptr) {
        m_state->window->removeEventFilter(m_state->closeWatch.get());
    }
    m_state->closeWatch.reset();
    {
        const std::lock_guard<std::mutex> guard(m_state->lock);
        m_state->closing = true;
        m_state->stopping = true;
    }
    m_state->answered.notify_all();
    if (m_state->thread.joinable()) {
        const char stop = StopByte;
        [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &stop, 1);
        m_state->thread.join();
    }
}

void TQuitSignals::Publish() {
    m_state->Publish();
}
