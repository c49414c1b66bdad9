// The print preview window and the main window's "Print" over the traffic view: pages laid
// out from the view's lines, the panel's controls, and print jobs through a recording
// printer. Offscreen platform, a private data folder per test, scripted message boxes.

#include "ui/print/NicePreview.h"
#include "print/PictureText.h"
#include "ui/print/PrintUnit.h"
#include "print/RecordingPrinter.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "traffic/DataRT.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"

#include <QAction>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kGrey = 0x808080;
constexpr uint32_t kRed = 0x0000FF; // 0x00BBGGRR
constexpr uint32_t kBlue = 0xFF0000;

class PrintFormTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        DataFolder().clear();
        m_settings = std::make_unique<SettingsRecord>();
        m_form = std::make_unique<TMainForm>(m_prompter, *m_settings);
        m_form->CreateWindows();
        m_window = InstallPrintForm(*m_form, m_prompter, &m_printer);
        m_form->SetTextCapacity(2147482623);
        m_form->LoadCommandLineFile(QString());
        m_form->show();
    }
    void TearDown() override {
        m_form.reset();
        DataFolder().clear();
        TempFolderTest::TearDown();
    }

    // Traffic lines "R[...] " in grey and a payload of hex pairs in a colour, line i holding
    // the number i in its first two pairs.
    void AddTraffic(int count, uint32_t color = kRed) {
        for (int i = 0; i < count; ++i) {
            m_traffic += 1;
            char payload[64];
            std::snprintf(payload, sizeof payload, "%02X %02X 03 04 05 06 07 08 ",
                          (m_traffic >> 8) & 0xFF, m_traffic & 0xFF);
            AppendTrafficLine(*m_form->RichShow, "R[12:00:00] ", color, payload);
        }
    }
    // The view's lines as the pages should show them.
    QStringList ViewLines() const {
        QStringList lines;
        for (int i = 0; i < m_form->RichShow->LineCount(); ++i) {
            lines << QString::fromLatin1(m_form->RichShow->LineText(i));
        }
        return lines;
    }
    QStringList PageRows(int page) const {
        return PictureText(m_window->NicePreview1->Page(page)).Rows();
    }
    QString Status() const { return m_window->StatusPanel->text(); }
    // A row of the traffic view's font, in the page layout's units (96 to the inch).
    static double RowHeight() {
        QFont font(QStringLiteral("Courier New"));
        QPicture reference;
        font.setPointSizeF(9.0 * 96 / reference.logicalDpiY());
        font.setKerning(false);
        return std::ceil(QFontMetricsF(font, &reference).lineSpacing());
    }
    // Shown as the main window's "Print Preview" shows it, and active: the pages are built.
    void ShowPreview() {
        m_form->ShowPrintPreview();
        QApplication::setActiveWindow(m_window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window));
    }
    QPoint PageCentre(int page) const {
        const TPreviewRect r = m_window->NicePreview1->Layout().PageRect(page);
        return {r.left + r.width / 2, r.top + r.height / 2};
    }
    void ClickPanel(QPoint at) {
        QTest::mouseClick(m_window->NicePreview1->viewport(), Qt::LeftButton, {}, at);
    }

    ScriptedPrompter m_prompter;
    RecordingPrinter m_printer;
    std::unique_ptr<SettingsRecord> m_settings;
    std::unique_ptr<TMainForm> m_form;
    TPrintForm* m_window = nullptr;
    int m_traffic = 0;
};

TEST_F(PrintFormTest, WindowHasItsControlsAndTheMainWindowOpensIt) {
    EXPECT_EQ(m_window->windowTitle(), "Print Preview");
    EXPECT_FALSE(m_window->isModal());
    EXPECT_FALSE(m_window->isVisible());
    struct Button {
        const char* name;
        const char* caption;
        QRect geometry;
    };
    const Button buttons[] = {
        {"Button1", "Print", {6, 2, 57, 21}},       {"Button4", "Actual Size", {85, 2, 68, 21}},
        {"Button5", "Full Page", {161, 2, 64, 21}}, {"Button2", "Zoom In", {240, 2, 57, 21}},
        {"Button3", "Zoom Out", {303, 2, 57, 21}},  {"Button8", "Cancel", {385, 2, 57, 21}},
    };
    for (const Button& b : buttons) {
        auto* button = m_window->findChild<QPushButton*>(QString::fromLatin1(b.name));
        ASSERT_NE(button, nullptr) << b.name;
        EXPECT_EQ(button->text(), QString::fromLatin1(b.caption)) << b.name;
        EXPECT_EQ(button->geometry(), b.geometry) << b.name;
        EXPECT_EQ(button->parentWidget()->objectName(), "Panel1") << b.name;
    }
    EXPECT_EQ(m_window->Panel1->height(), 25);
    EXPECT_EQ(m_window->NicePreview1->Title, "Printing ...");
    EXPECT_EQ(m_window->NicePreview1->objectName(), "NicePreview1");

    AddTraffic(3);
    m_form->N15->trigger();
    ASSERT_TRUE(m_window->isVisible());
    m_window->FormActivate(); // what becoming the active window runs
    EXPECT_EQ(m_window->NicePreview1->PageCount(), 1);
    EXPECT_EQ(Status(), "    Page 1    Total 1");

    // The window fills the screen's work area.
    EXPECT_EQ(m_window->frameGeometry().size(), m_window->screen()->availableGeometry().size());

    QTest::mouseClick(m_window->Button8, Qt::LeftButton);
    EXPECT_FALSE(m_window->isVisible());
}

TEST_F(PrintFormTest, PagesHoldTheTrafficLinesInOrderWithNothingLostOrRepeated) {
    AddTraffic(150);
    AddTraffic(100, kBlue);
    m_window->FormActivate();

    // Each page takes as many rows of 9-point text as fit 13.2 inches; the last the rest.
    const int perPage = static_cast<int>(13.2 * 96 / RowHeight());
    const int lines = m_form->RichShow->LineCount();
    ASSERT_EQ(lines, 250);
    const int pages = m_window->NicePreview1->PageCount();
    EXPECT_EQ(pages, (lines + perPage - 1) / perPage);
    EXPECT_EQ(Status(), QStringLiteral("    Page 1    Total %1").arg(pages));

    QStringList printed;
    for (int page = 0; page < pages; ++page) {
        const QStringList rows = PageRows(page);
        if (page + 1 < pages) {
            EXPECT_EQ(rows.size(), perPage) << page;
        }
        printed += rows;
    }
    EXPECT_EQ(printed, ViewLines());

    // Colours and the page margins: the prefix in grey, the payload in its colour, the
    // text stretched into (30, 30, 786, 1026) at 756/912 across.
    const PictureText first(m_window->NicePreview1->Page(0));
    ASSERT_GE(first.Pieces().size(), 2u);
    EXPECT_EQ(first.Pieces()[0].text, "R[12:00:00] ");
    EXPECT_EQ(first.Pieces()[0].color, QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(first.Pieces()[1].color, QColor(Qt::red));
    EXPECT_NEAR(first.Pieces()[0].position.x(), 30.0, 0.01);
    const PictureText last(m_window->NicePreview1->Page(pages - 1));
    EXPECT_EQ(last.Pieces()[1].color, QColor(Qt::blue));
    for (const auto& piece : last.Pieces()) {
        EXPECT_LT(piece.position.y(), 1026.0);
        EXPECT_LT(piece.position.x(), 786.0);
    }
}

TEST_F(PrintFormTest, LongLinesWrapToThePageWidthAndContinueOnTheNextPage) {
    // One burst of 2000 bytes: one line of the view, many rows on paper.
    std::string payload;
    for (int i = 0; i < 2000; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", i & 0xFF);
        payload += pair;
    }
    AppendTrafficLine(*m_form->RichShow, "R[12:00:00] ", kRed, payload);
    AddTraffic(80);
    m_window->FormActivate();
    ASSERT_GE(m_window->NicePreview1->PageCount(), 2);

    QString printed;
    for (int page = 0; page < m_window->NicePreview1->PageCount(); ++page) {
        for (const QString& row : PageRows(page)) {
            EXPECT_FALSE(row.startsWith(QLatin1Char(' ')));
            printed += row;
        }
    }
    EXPECT_EQ(printed, ViewLines().join(QString()));
}

TEST_F(PrintFormTest, AnEmptyViewHasNoPagesAndNothingToPrint) {
    m_window->FormActivate();
    EXPECT_EQ(m_window->NicePreview1->PageCount(), 0);
    EXPECT_EQ(Status(), "    Page 0    Total 0");
    EXPECT_FALSE(m_window->NicePreview1->horizontalScrollBar()->isVisibleTo(m_window));
    EXPECT_FALSE(m_window->NicePreview1->verticalScrollBar()->isVisibleTo(m_window));

    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    ASSERT_EQ(m_prompter.warnings.size(), 1u);
    EXPECT_EQ(m_prompter.warnings[0].text, "There is not content to print.");
    EXPECT_EQ(m_prompter.warnings[0].caption, "Print");
    EXPECT_TRUE(m_printer.dialogs.empty());

    m_form->N14->trigger();
    ASSERT_EQ(m_prompter.warnings.size(), 2u);
    EXPECT_EQ(m_prompter.warnings[1].text, "There is not content to print.");
    EXPECT_TRUE(m_printer.jobs.empty());
}

TEST_F(PrintFormTest, WithoutAPrinterBothWaysOfPrintingSaySo) {
    AddTraffic(10);
    m_printer.installed = false;
    m_window->FormActivate();
    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    m_form->N14->trigger();
    ASSERT_EQ(m_prompter.warnings.size(), 2u);
    for (const auto& box : m_prompter.warnings) {
        EXPECT_EQ(box.text, "Printers have not yet installed.");
        EXPECT_EQ(box.caption, "Print");
    }
    EXPECT_TRUE(m_printer.dialogs.empty());
}

TEST_F(PrintFormTest, PrintsTheChosenPagesAndCopiesOneJobAtATime) {
    AddTraffic(300);
    m_window->FormActivate();
    const int pages = m_window->NicePreview1->PageCount();
    ASSERT_GE(pages, 4);

    struct Case {
        const char* name;
        std::optional<TPrinterSeam::TDialogChoice> answer;
        std::vector<QString> titles;
        size_t sheetsEach;
    };
    const std::vector<Case> cases = {
        {"pages 2 to 3, twice",
         RecordingPrinter::Range(2, 3, 2),
         {"Printing ... - Page 2", "Printing ... - Page 3", "Printing ... - Page 2",
          "Printing ... - Page 3"},
         1},
        {"all pages, twice",
         RecordingPrinter::All(2),
         {"Printing ...", "Printing ..."},
         static_cast<size_t>(pages)},
        {"a range ending before it starts", RecordingPrinter::Range(3, 2, 1), {}, 0},
        {"cancelled", std::nullopt, {}, 0},
    };
    for (const Case& c : cases) {
        m_printer.jobs.clear();
        m_printer.answers = {c.answer};
        QTest::mouseClick(m_window->Button1, Qt::LeftButton);
        std::vector<QString> titles;
        for (const auto& job : m_printer.jobs) {
            titles.push_back(job.title);
            EXPECT_EQ(job.sheets.size(), c.sheetsEach) << c.name;
            EXPECT_TRUE(job.ended) << c.name;
        }
        EXPECT_EQ(titles, c.titles) << c.name;
    }
    EXPECT_TRUE(m_prompter.warnings.empty());

    // The dialog offered every page, from page 1 to page 1 the first time, and was owned
    // by the preview window.
    ASSERT_FALSE(m_printer.dialogs.empty());
    EXPECT_EQ(m_printer.dialogs[0].minPage, 1);
    EXPECT_EQ(m_printer.dialogs[0].maxPage, pages);
    EXPECT_EQ(m_printer.dialogs[0].fromPage, 1);
    EXPECT_EQ(m_printer.dialogs[0].toPage, 1);
    EXPECT_FALSE(m_printer.dialogs[0].pageRange);
    EXPECT_EQ(m_printer.owners[0], m_window);
}

TEST_F(PrintFormTest, EachSheetCarriesItsPageStretchedOverThePrintablePage) {
    AddTraffic(200);
    m_window->FormActivate();
    const int pages = m_window->NicePreview1->PageCount();
    m_printer.answers = {RecordingPrinter::All(1)};
    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    ASSERT_EQ(m_printer.jobs.size(), 1u);
    ASSERT_EQ(m_printer.jobs[0].sheets.size(), static_cast<size_t>(pages));
    for (int page = 0; page < pages; ++page) {
        const PictureText sheet(*m_printer.jobs[0].sheets[static_cast<size_t>(page)]);
        EXPECT_EQ(sheet.Rows(), PageRows(page)) << page;
        ASSERT_FALSE(sheet.Pieces().empty());
        EXPECT_NEAR(sheet.Pieces()[0].position.x(), 30.0 * RecordingPrinter::SheetWidth / 816, 0.5);
    }
}

TEST_F(PrintFormTest, AFailingPrinterEndsPrintingQuietly) {
    AddTraffic(10);
    m_window->FormActivate();
    m_printer.failJobs = true;
    m_printer.answers = {RecordingPrinter::All(3)};
    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    EXPECT_TRUE(m_printer.jobs.empty());
    EXPECT_TRUE(m_prompter.warnings.empty());
    EXPECT_EQ(m_printer.dialogs.size(), 1u);
}

TEST_F(PrintFormTest, DirectPrintBuildsThePagesWithoutShowingTheWindow) {
    AddTraffic(200);
    m_printer.answers = {RecordingPrinter::Range(2, 2, 1)};
    m_form->N14->trigger();
    EXPECT_FALSE(m_window->isVisible());
    const int pages = m_window->NicePreview1->PageCount();
    EXPECT_GE(pages, 3);
    ASSERT_EQ(m_printer.dialogs.size(), 1u);
    EXPECT_EQ(m_printer.dialogs[0].maxPage, pages);
    ASSERT_EQ(m_printer.jobs.size(), 1u);
    EXPECT_EQ(m_printer.jobs[0].title, "Printing ... - Page 2");
    EXPECT_EQ(m_printer.owners[0], m_form.get());
    EXPECT_EQ(m_window->NicePreview1->Zoom(), 1.0f);
}

TEST_F(PrintFormTest, ComingBackToTheWindowShowsTheNewTraffic) {
    AddTraffic(20);
    ShowPreview();
    EXPECT_EQ(m_window->NicePreview1->PageCount(), 1);

    QApplication::setActiveWindow(m_form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_form.get()));
    AddTraffic(200);
    EXPECT_EQ(m_window->NicePreview1->PageCount(), 1);

    QApplication::setActiveWindow(m_window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window));
    const int pages = m_window->NicePreview1->PageCount();
    EXPECT_GT(pages, 1);
    EXPECT_EQ(Status(), QStringLiteral("    Page 1    Total %1").arg(pages));
}

TEST_F(PrintFormTest, ZoomButtonsAndClicksOnThePanel) {
    AddTraffic(200);
    ShowPreview();
    TNicePreview* panel = m_window->NicePreview1;
    ASSERT_GE(panel->PageCount(), 3);

    // A click selects a page; the status names it.
    ClickPanel(PageCentre(1));
    EXPECT_EQ(panel->CurrentPage(), 1);
    EXPECT_EQ(Status(), QStringLiteral("    Page 2    Total %1").arg(panel->PageCount()));
    EXPECT_EQ(panel->Zoom(), 1.0f);

    QTest::mouseClick(m_window->Button2, Qt::LeftButton);
    EXPECT_EQ(panel->ClickMode(), TPreviewLayout::ClickZoomIn);
    EXPECT_EQ(panel->viewport()->cursor().shape(), Qt::BitmapCursor);
    ClickPanel(PageCentre(0));
    EXPECT_EQ(panel->CurrentPage(), 0);
    EXPECT_FLOAT_EQ(panel->Zoom(), 1.1f);

    QTest::mouseClick(m_window->Button3, Qt::LeftButton);
    EXPECT_EQ(panel->ClickMode(), TPreviewLayout::ClickZoomOut);
    ClickPanel(PageCentre(0));
    ClickPanel(PageCentre(0));
    EXPECT_NEAR(panel->Zoom(), 0.9f, 1e-6);

    QTest::mouseClick(m_window->Button5, Qt::LeftButton);
    EXPECT_EQ(panel->ClickMode(), TPreviewLayout::ClickNone);
    EXPECT_EQ(panel->viewport()->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(panel->Layout().Columns(), 1);
    EXPECT_LT(panel->Zoom(), 0.9f);
    const TPreviewRect page = panel->Layout().PageRect(0);
    EXPECT_LE(page.Bottom(), panel->viewport()->height());

    QTest::mouseClick(m_window->Button4, Qt::LeftButton);
    EXPECT_EQ(panel->Zoom(), 1.0f);

    // Zoom and click mode survive a rebuild (new traffic makes one).
    QTest::mouseClick(m_window->Button2, Qt::LeftButton);
    AddTraffic(1);
    m_window->FormActivate();
    EXPECT_EQ(panel->ClickMode(), TPreviewLayout::ClickZoomIn);
    EXPECT_EQ(panel->CurrentPage(), -1);
}

TEST_F(PrintFormTest, AClickPastTheLastPageSelectsNothing) {
    AddTraffic(10);
    ShowPreview();
    TNicePreview* panel = m_window->NicePreview1;
    ASSERT_EQ(panel->PageCount(), 1);
    // Small enough for several columns: the cell right of the only page is empty.
    QTest::mouseClick(m_window->Button3, Qt::LeftButton);
    for (int i = 0; i < 6; ++i) {
        ClickPanel(PageCentre(0));
    }
    ASSERT_GE(panel->Layout().Columns(), 2);
    ClickPanel(PageCentre(1));
    EXPECT_EQ(panel->CurrentPage(), 0);
    EXPECT_EQ(Status(), "    Page 1    Total 1");
}

} // namespace
