#include "ui/print/PrinterSeam.h"

#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>

#include <QPageRanges>
#include <QPrintEngine>

#include <algorithm>
#include <stdexcept>

namespace {

// The print server's options of a job, as name and value in turn.
const auto PrintServerOptions = QPrintEngine::PrintEnginePropertyKey(0xfe00);

} // namespace

TQtPrinterSeam::TQtPrinterSeam()
    : m_printer(std::make_unique<QPrinter>(QPrinter::HighResolution)) {}

TQtPrinterSeam::~TQtPrinterSeam() = default;

bool TQtPrinterSeam::PrinterInstalled() {
    return !QPrinterInfo::availablePrinterNames().isEmpty();
}

bool TQtPrinterSeam::ShowPrintDialog(QWidget* owner, TDialogChoice& choice) {
    m_printer->setPrintRange(QPrinter::AllPages);
    // Pages left chosen from an earlier, longer pagination must lie within this one.
    const int last = std::max(choice.minPage, choice.maxPage);
    const int from = std::clamp(choice.fromPage, choice.minPage, last);
    m_printer->setFromTo(from, std::clamp(choice.toPage, from, last));
    m_printer->setCopyCount(1);
    if (!RunDialog(*m_printer, owner, choice.minPage, choice.maxPage)) {
        return false;
    }
    choice.pageRange = m_printer->printRange() == QPrinter::PageRange;
    choice.fromPage = m_printer->fromPage();
    choice.toPage = m_printer->toPage();
    choice.copies = m_printer->copyCount();
    choice.pages.clear();
    QPageRanges ranges = m_printer->pageRanges();
    // A printer of the print server takes "Pages: 1,3" as a page choice of its own, applied
    // to every job; the window prints the chosen pages itself instead.
    QPrintEngine* engine = m_printer->printEngine();
    QStringList options = engine->property(PrintServerOptions).toStringList();
    for (qsizetype i = 0; i + 1 < options.size(); i += 2) {
        if (options[i] == QLatin1String("page-ranges")) {
            ranges = QPageRanges::fromString(options[i + 1]);
            options.remove(i, 2);
            engine->setProperty(PrintServerOptions, options);
            choice.pageRange = !ranges.isEmpty();
            break;
        }
    }
    if (choice.pageRange && !ranges.isEmpty()) {
        for (const QPageRanges::Range& range : ranges.toRangeList()) {
            for (int page = range.from; page <= range.to; ++page) {
                choice.pages.push_back(page);
            }
        }
        choice.fromPage = ranges.firstPage();
        choice.toPage = ranges.lastPage();
    }
    // The window prints the chosen pages and copies itself, one job at a time; left in
    // the printer, they would be applied a second time to each job.
    m_printer->setPrintRange(QPrinter::AllPages);
    m_printer->setPageRanges(QPageRanges());
    m_printer->setCopyCount(1);
    return true;
}

bool TQtPrinterSeam::RunDialog(QPrinter& printer, QWidget* owner, int minPage, int maxPage) {
    QPrintDialog dialog(&printer, owner);
    dialog.setOptions(QAbstractPrintDialog::PrintPageRange | QAbstractPrintDialog::PrintToFile |
                      QAbstractPrintDialog::PrintShowPageSize);
    dialog.setMinMax(minPage, maxPage);
    return dialog.exec() == QDialog::Accepted;
}

bool TQtPrinterSeam::PrintsToFile() {
    return !m_printer->outputFileName().isEmpty();
}

QPainter& TQtPrinterSeam::BeginJob(const QString& title) {
    m_printer->setDocName(title);
    m_painter = std::make_unique<QPainter>();
    if (!m_painter->begin(m_printer.get())) {
        m_painter.reset();
        throw std::runtime_error("The print job could not be started.");
    }
    return *m_painter;
}

QRectF TQtPrinterSeam::SheetRect() {
    return QRectF(QPointF(0, 0),
                  m_printer->pageLayout().paintRectPixels(m_printer->resolution()).size());
}

void TQtPrinterSeam::NewSheet() {
    m_printer->newPage();
}

void TQtPrinterSeam::EndJob() {
    if (m_painter) {
        m_painter->end();
        m_painter.reset();
    }
}
