#include "ui/main/ViewSaver.h"

#include "ui/main/RichView.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <exception>
#include <utility>

TViewSaver::TViewSaver(QObject* parent) : QObject(parent) {}

TViewSaver::~TViewSaver() {
    for (const auto& job : m_jobs) {
        if (job->thread.joinable()) {
            job->thread.join();
        }
    }
}

void TViewSaver::Run(Job& job) {
    try {
        const TLineStore::Snapshot& snapshot = job.snapshot;
        const size_t lines = snapshot.lines.size();
        // The styled text is built in slices so that the progress moves; its runs join
        // across the slices as they would in one piece.
        StyledText text;
        const size_t slice = std::max<size_t>(1, lines / 50);
        for (size_t from = 0; from < lines; from += slice) {
            StyledText part = snapshot.Styled(from, std::min(lines, from + slice));
            for (StyledRun& run : part) {
                if (!text.empty() && text.back().style == run.style) {
                    text.back().text += run.text;
                } else {
                    text.push_back(std::move(run));
                }
            }
            job.percent = static_cast<int>(50 * (from + slice) / std::max<size_t>(1, lines));
        }
        job.percent = 50;
        std::string rtf = WriteRtf(text);
        text = StyledText();
        job.percent = 80;
        job.write(rtf);
        job.percent = 100;
    } catch (const std::exception& e) {
        job.error = e.what();
    }
}

void TViewSaver::Save(const RichView& view, Write write, Done done) {
    auto job = std::make_unique<Job>();
    job->write = std::move(write);
    job->done = std::move(done);
    job->snapshot = view.Snapshot();
    const int lines = static_cast<int>(job->snapshot.lines.size());
    if (view.Store().MemoryBytes() <= kAtOnceBytes) {
        Run(*job);
        job->done(job->error, lines, true);
        return;
    }
    Job* raw = job.get();
    m_jobs.push_back(std::move(job));
    raw->thread = std::thread([this, raw] {
        Run(*raw);
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
    owned->done(owned->error, static_cast<int>(owned->snapshot.lines.size()), false);
}

QString TViewSaver::StatusText() const {
    if (m_jobs.empty()) {
        return {};
    }
    return QStringLiteral("Saving %1 %").arg(m_jobs.back()->percent.load());
}

void TViewSaver::WaitAll() {
    while (!m_jobs.empty()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}
