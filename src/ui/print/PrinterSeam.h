#pragma once
// What the preview window needs of the printing system: whether a printer is installed,
// the standard print dialog, and print jobs of sheets. The program uses the Qt printer;
// tests record the jobs instead.

#include <QRectF>
#include <QString>

#include <memory>
#include <vector>

class QPainter;
class QPrinter;
class QWidget;

class TPrinterSeam {
public:
    // The print dialog's page choice: offered from minPage to maxPage, initially fromPage
    // to toPage with all pages chosen. The dialog answers with pageRange, fromPage, toPage
    // and copies.
    struct TDialogChoice {
        int minPage = 1;
        int maxPage = 1;
        int fromPage = 1;
        int toPage = 1;
        bool pageRange = false;
        int copies = 1;
        // With pageRange, the pages chosen (from 1, in the order given) when they are not
        // simply fromPage to toPage, as "Pages: 1,3" gives; empty: fromPage to toPage.
        std::vector<int> pages;
    };

    virtual ~TPrinterSeam() = default;
    virtual bool PrinterInstalled() = 0;
    // Whether the printer chosen in the last dialog writes a file ("Print to File"). Each
    // job would write that file anew, so everything one print puts out goes in one job.
    virtual bool PrintsToFile() { return false; }
    // False when the user cancels.
    virtual bool ShowPrintDialog(QWidget* owner, TDialogChoice& choice) = 0;
    // Starts a job on its first sheet; the painter draws on the sheet until EndJob. Throws
    // std::runtime_error when the job cannot start.
    virtual QPainter& BeginJob(const QString& title) = 0;
    // The whole printable page of a sheet in the painter's coordinates.
    virtual QRectF SheetRect() = 0;
    virtual void NewSheet() = 0;
    virtual void EndJob() = 0;
};

// The installed printers through Qt: QPrinterInfo for the list, QPrintDialog, QPrinter jobs.
class TQtPrinterSeam : public TPrinterSeam {
public:
    TQtPrinterSeam();
    ~TQtPrinterSeam() override;
    bool PrinterInstalled() override;
    bool PrintsToFile() override;
    bool ShowPrintDialog(QWidget* owner, TDialogChoice& choice) override;
    QPainter& BeginJob(const QString& title) override;
    QRectF SheetRect() override;
    void NewSheet() override;
    void EndJob() override;

protected:
    // The dialog proper, on the printer set up with the offered pages; what the user chose
    // is left in the printer. False when the user cancels.
    virtual bool RunDialog(QPrinter& printer, QWidget* owner, int minPage, int maxPage);

private:
    std::unique_ptr<QPrinter> m_printer;
    std::unique_ptr<QPainter> m_painter;
};
