// Printing to a file: the chosen pages and copies go into one job, in order, so the file
// holds all of them; real printers keep a job per page and copy. Read back from a real
// PDF with the system's PDF tools.

#include "print/TrafficPrintFixture.h"

#include <QPageRanges>
#include <QPrinter>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

using PrintToFileTest = TrafficPrintFixture;

TEST_F(PrintToFileTest, OneJobHoldsTheChosenPagesOfEveryCopyInOrder) {
    AddTraffic(300);
    m_window->FormActivate();
    const int pages = m_window->NicePreview1->PageCount();
    ASSERT_GE(pages, 4);
    std::vector<int> all;
    for (int copy = 0; copy < 2; ++copy) {
        for (int page = 0; page < pages; ++page) {
            all.push_back(page);
        }
    }
    const struct {
        const char* name;
        TPrinterSeam::TDialogChoice answer;
        std::vector<int> sheets; // preview pages, 0-based; empty: no job at all
    } cases[] = {
        {"pages 2 to 3, twice", RecordingPrinter::Range(2, 3, 2), {1, 2, 1, 2}},
        {"all pages, twice", RecordingPrinter::All(2), all},
        {"page 4 once", RecordingPrinter::Range(4, 4, 1), {3}},
        {"a range ending before it starts", RecordingPrinter::Range(3, 2, 2), {}},
    };
    m_printer.toFile = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_printer.jobs.clear();
        m_printer.answers = {c.answer};
        QTest::mouseClick(m_window->Button1, Qt::LeftButton);
        if (c.sheets.empty()) {
            EXPECT_TRUE(m_printer.jobs.empty());
            continue;
        }
        ASSERT_EQ(m_printer.jobs.size(), 1u);
        EXPECT_EQ(m_printer.jobs[0].title, "Printing ...");
        EXPECT_TRUE(m_printer.jobs[0].ended);
        ASSERT_EQ(m_printer.jobs[0].sheets.size(), c.sheets.size());
        for (size_t i = 0; i < c.sheets.size(); ++i) {
            EXPECT_EQ(PictureText(*m_printer.jobs[0].sheets[i]).Rows(), PageRows(c.sheets[i]))
                << "sheet " << i;
        }
    }
    EXPECT_TRUE(m_prompter.warnings.empty());
}

// The program's Qt printer, with the print dialog answered as a user answers it: "Print to
// File (PDF)" with a file name, a page range and a number of copies.
class PdfPrinter final : public TQtPrinterSeam {
public:
    std::string file;
    int from = 1;
    int to = 1;
    int copies = 1;
    // Typed into the dialog's pages field ("1,3"); empty: from and to.
    QString pages;

    bool PrinterInstalled() override { return true; }

protected:
    bool RunDialog(QPrinter& printer, QWidget*, int minPage, int maxPage) override {
        EXPECT_EQ(minPage, 1);
        EXPECT_GE(maxPage, to);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(file));
        printer.setPrintRange(QPrinter::PageRange);
        printer.setFromTo(from, to);
        if (!pages.isEmpty()) {
            printer.setPageRanges(QPageRanges::fromString(pages));
        }
        printer.setCopyCount(copies);
        return true;
    }
};

class PrintToPdfTest : public TrafficPrintFixture {
protected:
    TPrinterSeam* Printer() override { return &m_pdf; }

    static std::string Run(const std::string& command) {
        std::string out;
        if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
                out.append(buffer, n);
            }
            ::pclose(pipe);
        }
        return out;
    }

    PdfPrinter m_pdf;
};

TEST_F(PrintToPdfTest, PagesListedApartArePrintedAloneWithoutThoseBetween) {
    AddTraffic(400);
    m_window->FormActivate();
    const int pages = m_window->NicePreview1->PageCount();
    ASSERT_GE(pages, 5);
    std::vector<std::string> firstLines;
    for (int page = 0; page < pages; ++page) {
        firstLines.push_back(PageRows(page).value(0).left(17).toStdString());
    }
    const struct {
        const char* typed;
        std::vector<int> sheets; // preview pages, from 0
    } cases[] = {
        {"1,3", {0, 2}},
        {"2-3,5", {1, 2, 4}},
        {"4", {3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        m_pdf.file = Root() + "/pages-" + std::to_string(c.sheets.size()) + ".pdf";
        m_pdf.pages = QString::fromLatin1(c.typed);
        QTest::mouseClick(m_window->Button1, Qt::LeftButton);
        const std::string info = Run("pdfinfo '" + m_pdf.file + "' 2>&1");
        std::smatch count;
        ASSERT_TRUE(std::regex_search(info, count, std::regex("Pages:\\s+([0-9]+)"))) << info;
        ASSERT_EQ(std::stoi(count[1].str()), static_cast<int>(c.sheets.size()));
        for (size_t sheet = 0; sheet < c.sheets.size(); ++sheet) {
            const std::string number = std::to_string(sheet + 1);
            const std::string text = Run("pdftotext -f " + number + " -l " + number + " -layout '" +
                                         m_pdf.file + "' - 2>&1");
            const std::string& first = firstLines[static_cast<size_t>(c.sheets[sheet])];
            const size_t at = text.find_first_not_of(" \n\f");
            ASSERT_NE(at, std::string::npos) << "sheet " << number << " is empty";
            EXPECT_EQ(text.substr(at, first.size()), first) << "sheet " << number;
        }
    }
    EXPECT_TRUE(m_prompter.warnings.empty());
}

TEST_F(PrintToPdfTest, APageRangeTwiceGivesOneFileWithThosePagesInOrder) {
    AddTraffic(400);
    m_window->FormActivate();
    const int pages = m_window->NicePreview1->PageCount();
    ASSERT_GE(pages, 5);
    // The first traffic line of each preview page, as "R[12:00:00] 00 4B".
    std::vector<std::string> firstLines;
    for (int page = 0; page < pages; ++page) {
        firstLines.push_back(PageRows(page).value(0).left(17).toStdString());
    }

    m_pdf.file = Root() + "/traffic.pdf";
    m_pdf.from = 2;
    m_pdf.to = 4;
    m_pdf.copies = 2;
    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    EXPECT_TRUE(m_prompter.warnings.empty());

    const std::string info = Run("pdfinfo '" + m_pdf.file + "' 2>&1");
    std::smatch count;
    ASSERT_TRUE(std::regex_search(info, count, std::regex("Pages:\\s+([0-9]+)"))) << info;
    ASSERT_EQ(std::stoi(count[1].str()), 6);
    const int expected[] = {1, 2, 3, 1, 2, 3};
    for (int sheet = 1; sheet <= 6; ++sheet) {
        const std::string text =
            Run("pdftotext -f " + std::to_string(sheet) + " -l " + std::to_string(sheet) +
                " -layout '" + m_pdf.file + "' - 2>&1");
        const std::string& first = firstLines[static_cast<size_t>(expected[sheet - 1])];
        const size_t at = text.find_first_not_of(" \n\f");
        ASSERT_NE(at, std::string::npos) << "sheet " << sheet << " is empty";
        EXPECT_EQ(text.substr(at, first.size()), first) << "sheet " << sheet;
    }
}

} // namespace
