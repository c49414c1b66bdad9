#include "ui/main/ViewSaver.h"

#include "richtext/RichText.h"
#include "ui/main/RichView.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <exception>
#include <utility>

TViewSaver::TViewSaver(QObject* parent) : QObject(parent) {}

TViewSaver::~TViewSaver() {
    // The workers may wait for slices that only this thread can copy.
    for (const auto& job : m_jobs) {
        std::unique_lock<std::mutex> lock(job->lock);
        while (!job->workerDone) {
            if (job->asked) {
                lock.unlock();
                Feed(job.get());
                lock.lock();
                continue;
            }
            job->changed.wait(lock);
        }
        lock.unlock();
        if (job->thread.joinable()) {
            job->thread.join();
        }
    }
}

TViewSaver::Slice TViewSaver::TakeSlice(Job& job) {
    Slice slice;
    job.reading->Take(kSliceLines, kSliceBytes, slice.lines);
    slice.taken = job.reading->Taken();
    slice.final = job.reading->Done();
    return slice;
}

void TViewSaver::Run(Job& job, const std::function<Slice()>& next) {
    try {
        const TLineStore::Snapshot& shared = job.reading->Shared();
        // The tables name the fonts and colours of every style the view has used.
        std::vector<std::pair<std::string, int>> fonts;
        std::vector<uint32_t> colors;
        for (const TextStyle& style : shared.styles) {
            const auto font = std::make_pair(style.fontName.str(), style.charset);
            if (std::find(fonts.begin(), fonts.end(), font) == fonts.end()) {
                fonts.push_back(font);
            }
            colors.push_back(style.color);
        }
        TRtfStream stream(std::move(fonts), std::move(colors));
        bool headWritten = false;
        bool bodyDone = false;
        const size_t total = std::max<size_t>(1, static_cast<size_t>(job.lines));
        job.write([&](std::string& chunk) {
            if (!headWritten) {
                headWritten = true;
                chunk = stream.Head();
                return true;
            }
            if (bodyDone) {
                chunk = TRtfStream::Tail;
                return false;
            }
            const Slice slice = next();
            chunk = stream.Body(slice.lines.Styled(0, slice.lines.lines.size(), !slice.final));
            bodyDone = slice.final;
            job.percent = static_cast<int>(99 * slice.taken / total);
            return true;
        });
        job.percent = 100;
    } catch (const std::exception& e) {
        job.error = e.what();
    }
}

void TViewSaver::Feed(Job* job) {
    if (std::find_if(m_jobs.begin(), m_jobs.end(),
                     [job](const auto& j) { return j.get() == job; }) == m_jobs.end()) {
        return; // finished meanwhile
    }
    std::lock_guard<std::mutex> lock(job->lock);
    job->asked = false;
    while (job->ready.size() < 2 && !job->allTaken) {
        job->ready.push_back(TakeSlice(*job));
        job->allTaken = job->ready.back().final;
        ++m_slicesTaken;
    }
    job->changed.notify_all();
}

TViewSaver::Slice TViewSaver::Next(Job* job) {
    std::unique_lock<std::mutex> lock(job->lock);
    const auto ask = [&] {
        if (!job->asked && !job->allTaken) {
            job->asked = true;
            QMetaObject::invokeMethod(
                this, [this, job] { Feed(job); }, Qt::QueuedConnection);
            job->changed.notify_all();
        }
    };
    while (job->ready.empty()) {
        ask();
        job->changed.wait(lock);
    }
    Slice slice = std::move(job->ready.front());
    job->ready.pop_front();
    // The next one is copied while this one is written.
    ask();
    return slice;
}

void TViewSaver::Save(const RichView& view, Write write, Done done) {
    auto job = std::make_unique<Job>();
    job->write = std::move(write);
    job->done = std::move(done);
    job->reading = view.BeginReading();
    job->lines = static_cast<int>(job->reading->Lines());
    if (view.Store().MemoryBytes() <= kAtOnceBytes) {
        Run(*job, [&job] { return TakeSlice(*job); });
        job->done(job->error, job->lines, true);
        return;
    }
    Job* raw = job.get();
    m_jobs.push_back(std::move(job));
    Feed(raw);
    raw->thread = std::thread([this, raw] {
        Run(*raw, [this, raw] { return Next(raw); });
        {
            std::lock_guard<std::mutex> lock(raw->lock);
            raw->workerDone = true;
            raw->changed.notify_all();
        }
        QMetaObject::invokeMethod(
            this, [this, raw] { Finish(raw); }, Qt::QueuedConnection);
    });
}

void TViewSaver::Finish(Job* job) {
    const auto it =
        std::find_if(m_jobs.begin(), m_jobs.end(), [job](const auto& j) { return j.get() == job; });
    if (it == m_jobs.end()) {
        return;
    }
    std::unique_ptr<Job> owned = std::move(*it);
    m_jobs.erase(it);
    owned->thread.join();
    owned->done(owned->error, owned->lines, false);
}

QString TViewSaver::StatusText() const {
    if (m_jobs.empty()) {
        return {};
    }
    return QStringLiteral("Saving %1 %").arg(m_jobs.back()->percent.load());
}

void TViewSaver::WaitAll() {
    // Sleeps until an event comes: the workers' requests for slices and their ends are
    // queued calls to this thread.
    while (!m_jobs.empty()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
