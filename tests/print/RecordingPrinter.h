#pragma once
// A printer for tests: answers the print dialog as scripted and keeps every job, its title
// and each sheet as a picture.

#include "ui/print/PrinterSeam.h"

#include <QPainter>
#include <QPicture>

#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

class RecordingPrinter final : public TPrinterSeam {
public:
    struct Job {
        QString title;
        std::vector<std::shared_ptr<QPicture>> sheets;
        bool ended = false;
    };
    // A4 at 600 dots per inch.
    static constexpr double SheetWidth = 4960;
    static constexpr double SheetHeight = 7016;

    bool PrinterInstalled() override { return installed; }
    bool PrintsToFile() override { return toFile; }
    bool ShowPrintDialog(QWidget* owner, TDialogChoice& choice) override {
        dialogs.push_back(choice);
        owners.push_back(owner);
        if (answers.empty() || !answers.front()) {
            if (!answers.empty()) {
                answers.pop_front();
            }
            return false;
        }
        const TDialogChoice answer = *answers.front();
        answers.pop_front();
        choice.pageRange = answer.pageRange;
        choice.fromPage = answer.fromPage;
        choice.toPage = answer.toPage;
        choice.copies = answer.copies;
        return true;
    }
    QPainter& BeginJob(const QString& title) override {
        if (failJobs) {
            throw std::runtime_error("The printer is out of paper.");
        }
        jobs.push_back({title, {}, false});
        StartSheet();
        return m_painter;
    }
    QRectF SheetRect() override { return QRectF(0, 0, SheetWidth, SheetHeight); }
    void NewSheet() override {
        m_painter.end();
        StartSheet();
    }
    void EndJob() override {
        m_painter.end();
        jobs.back().ended = true;
    }

    // The dialog's answer: all pages, or a page range, and copies.
    static TDialogChoice All(int copies) {
        TDialogChoice choice;
        choice.copies = copies;
        return choice;
    }
    static TDialogChoice Range(int from, int to, int copies) {
        TDialogChoice choice;
        choice.pageRange = true;
        choice.fromPage = from;
        choice.toPage = to;
        choice.copies = copies;
        return choice;
    }

    bool installed = true;
    bool toFile = false; // as the dialog's "Print to File" leaves the printer
    bool failJobs = false;
    std::deque<std::optional<TDialogChoice>> answers; // none: the user cancels
    std::vector<TDialogChoice> dialogs;               // as each dialog was shown
    std::vector<QWidget*> owners;
    std::vector<Job> jobs;

private:
    void StartSheet() {
        jobs.back().sheets.push_back(std::make_shared<QPicture>());
        m_painter.begin(jobs.back().sheets.back().get());
    }

    QPainter m_painter;
};
