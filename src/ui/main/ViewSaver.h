#pragma once
// Saves of a view's text as RTF that never hold up the window: the text is read from the
// view's line store as it was when the save began (a reading that shares the stored text
// and copies the line records a slice at a time), and a worker thread turns each slice
// into RTF and writes it to the file (atomically) while the view goes on receiving. So a
// save adds about a slice to memory, not a copy of the text, and the window's thread does
// one short copy per slice. A small text is written at once, which costs less than
// starting a thread.

#include "platform/FileIO.h"
#include "richtext/LineStore.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RichView;

class TViewSaver : public QObject {
    Q_OBJECT
public:
    // Texts up to this many bytes of memory are written before Save returns.
    static constexpr int64_t kAtOnceBytes = 1 << 20;
    // One slice: at most this many lines and about this much text.
    static constexpr size_t kSliceLines = 8192;
    static constexpr size_t kSliceBytes = 1 << 20;

    explicit TViewSaver(QObject* parent = nullptr);
    // Waits for the saves still running: their files are written whole.
    ~TViewSaver() override;

    // Writes the view's whole text as RTF with write, which takes the RTF piece by piece
    // from the source it is given (on the worker; it throws on failure). done runs on this
    // thread when the file is written (error empty) or has failed (the system's reason),
    // with the number of lines the text held when the save began, so that a caller can
    // drop exactly those, and whether the save ran before Save returned.
    using Write = std::function<void(const TByteSource& rtf)>;
    using Done = std::function<void(const std::string& error, int savedLines, bool atOnce)>;
    void Save(const RichView& view, Write write, Done done);
    bool Busy() const { return !m_jobs.empty(); }
    // "Saving 45 %" while a save runs, else empty.
    QString StatusText() const;
    // Waits until every running save has finished and reported.
    void WaitAll();
    // Slices the window's thread has copied for the running saves since this saver began.
    uint64_t SlicesTaken() const { return m_slicesTaken; }

private:
    struct Slice {
        TLineStore::Snapshot lines;
        size_t taken = 0; // lines of the text up to this slice's end
        bool final = false;
    };
    struct Job {
        Write write;
        Done done;
        std::unique_ptr<TLineStore::Reading> reading; // the window thread's only
        int lines = 0;
        std::mutex lock;
        std::condition_variable changed;
        std::deque<Slice> ready; // taken for the worker
        bool asked = false;      // the worker waits for a slice
        bool allTaken = false;
        bool workerDone = false;
        std::atomic<int> percent{0};
        std::string error;
        std::thread thread;
    };
    // Builds and writes the RTF; next gives the slices in order.
    static void Run(Job& job, const std::function<Slice()>& next);
    static Slice TakeSlice(Job& job);
    // On this thread: copies slices until the worker has two waiting.
    void Feed(Job* job);
    // On the worker: the next slice, asking this thread for more.
    Slice Next(Job* job);
    void Finish(Job* job);

    std::vector<std::unique_ptr<Job>> m_jobs;
    uint64_t m_slicesTaken = 0;
};
