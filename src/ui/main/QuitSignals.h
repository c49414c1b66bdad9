#pragma once
// A request from the system to end the program (logout, kill, Ctrl+C in the terminal that
// started it) closes the main window like the user would, so the settings, the send text
// and the layout are saved and the port is closed.
//
// The signal is taken on a thread of its own, so it is answered even while the window
// thread is busy: that thread asks the window to close and waits a bounded time for the
// window thread to take the request. When it does not, the files the window last
// published while it was idle are written and the program ends at once.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QWidget;

// Files to write as they are, each (path, bytes).
using TQuitFiles = std::vector<std::pair<std::string, std::string>>;

struct TQuitHandling {
    // On the window thread, when its event loop is about to wait and at most once per
    // publishMs: the files that closing now would write. Empty: nothing is published.
    std::function<TQuitFiles()> collect;
    int publishMs = 1000;
    // How long the signal thread waits for the window thread to take the close request.
    int answerWaitMs = 3000;
    // Ends the process after the published files were written (the signal's number is
    // passed). The program's default ends it at once, without the busy window's cleanup.
    std::function<void(int)> end;
};

class TQuitSignals {
public:
    // Catches SIGTERM, SIGINT and SIGHUP from now on; one object per process.
    TQuitSignals(QWidget* window, TQuitHandling handling);
    // Stops the signal thread; the signals keep being caught but nothing answers them.
    ~TQuitSignals();
    TQuitSignals(const TQuitSignals&) = delete;
    TQuitSignals& operator=(const TQuitSignals&) = delete;

    // Publishes the files now (on the window thread), whatever the time since the last.
    void Publish();

private:
    struct TState;
    std::shared_ptr<TState> m_state;
};
