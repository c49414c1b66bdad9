#pragma once
// Saves of a view's text as RTF that never hold up the window: the text is taken as a
// snapshot that shares the view's lines, and a worker thread builds the RTF and writes the
// file (atomically) while the view goes on receiving. A small text is written at once,
// which costs less than starting a thread.

#include "richtext/LineStore.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class RichView;

class TViewSaver : public QObject {
    Q_OBJECT
public:
    // Texts up to this many bytes of memory are written before Save returns.
    static constexpr int64_t kAtOnceBytes = 1 << 20;

    explicit TViewSaver(QObject* parent = nullptr);
    // Waits for the saves still running: their files are written whole.
    ~TViewSaver() override;

    // Writes the view's whole text as RTF with write (on the worker; it throws on failure).
    // done runs on this thread when the file is written (error empty) or has failed (the
    // system's reason), with the number of lines the snapshot held, so that a caller can
    // drop exactly those, and whether the save ran before Save returned.
    using Write = std::function<void(const std::string& rtf)>;
    using Done = std::function<void(const std::string& error, int savedLines, bool atOnce)>;
    void Save(const RichView& view, Write write, Done done);
    bool Busy() const { return !m_jobs.empty(); }
    // "Saving 45 %" while a save runs, else empty.
    QString StatusText() const;
    // Waits until every running save has finished and reported.
    void WaitAll();

private:
    struct Job {
        Write write;
        TLineStore::Snapshot snapshot;
        Done done;
        std::atomic<int> percent{0};
        std::string error;
        std::thread thread;
    };
    static void Run(Job& job);
    void Finish(Job* job);

    std::vector<std::unique_ptr<Job>> m_jobs;
};
