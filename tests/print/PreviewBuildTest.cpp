// When the preview lays out its pages: only after the traffic view changed, and for a
// large view a few pages at a time between the window's events, with the page count in
// the status line once it is known.

#include "print/TrafficPrintFixture.h"

#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

namespace {

// Takes the whole view apart on a thread of its own, but only once the test lets it. A
// window that waits for it anyway gets it after a minute, so that such a test fails
// instead of hanging.
class HeldText {
public:
    TPrintForm::TTextRunner Runner() {
        return [this](std::function<TPrintText()> job) {
            return std::async(std::launch::async, [this, job = std::move(job)] {
                m_released.wait_for(std::chrono::minutes(1));
                ran = true;
                return job();
            });
        };
    }
    void Release() { m_release.set_value(); }

    std::atomic<bool> ran{false};

private:
    std::promise<void> m_release;
    std::shared_future<void> m_released = m_release.get_future().share();
};

// Takes the whole view apart at once.
TPrintForm::TTextRunner AtOnce() {
    return [](std::function<TPrintText()> job) {
        std::promise<TPrintText> text;
        text.set_value(job());
        return text.get_future();
    };
}

class PreviewBuildTest : public TrafficPrintFixture {
protected:
    // The user goes to the main window and back to the preview.
    void ComeBack() {
        QApplication::setActiveWindow(m_form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_form.get()));
        QApplication::setActiveWindow(m_window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window));
    }
    void ShowPreview() {
        m_form->ShowPrintPreview();
        QApplication::setActiveWindow(m_window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window));
    }
};

TEST_F(PreviewBuildTest, PagesAreLaidOutAgainOnlyAfterTheTrafficChanged) {
    AddTraffic(300);
    ShowPreview();
    TNicePreview* panel = m_window->NicePreview1;
    const int pages = panel->PageCount();
    ASSERT_GE(pages, 3);
    panel->SetCurrentPage(2);

    // Nothing new: the same pages, still on the page the user chose.
    ComeBack();
    EXPECT_EQ(panel->PageCount(), pages);
    EXPECT_EQ(panel->CurrentPage(), 2);
    EXPECT_EQ(Status(), QStringLiteral("    Page 3    Total %1").arg(pages));

    // New traffic: laid out anew.
    AddTraffic(200);
    ComeBack();
    EXPECT_GT(panel->PageCount(), pages);
    EXPECT_EQ(Status(), QStringLiteral("    Page 1    Total %1").arg(panel->PageCount()));
}

TEST_F(PreviewBuildTest, ALargeViewIsLaidOutBetweenEventsAndLosesNoLine) {
    AddTraffic(20000);
    ShowPreview();
    TNicePreview* panel = m_window->NicePreview1;

    // The first pages are shown at once; the rest is still to come and not yet counted.
    ASSERT_TRUE(m_window->Building());
    EXPECT_GT(panel->PageCount(), 0);
    EXPECT_TRUE(Status().contains(QStringLiteral("Pages so far"))) << Status().toStdString();
    EXPECT_FALSE(Status().contains(QStringLiteral("Total")));

    // Events are handled while the pages are laid out.
    bool handledWhileBuilding = false;
    QTimer::singleShot(0, m_window, [&] { handledWhileBuilding = m_window->Building(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_window->Building(); }, 120000));
    EXPECT_TRUE(handledWhileBuilding);

    const int pages = panel->PageCount();
    EXPECT_EQ(Status(), QStringLiteral("    Page 1    Total %1").arg(pages));
    QStringList printed;
    for (int page = 0; page < pages; ++page) {
        printed += PageRows(page);
    }
    QStringList lines;
    for (int line = 0; line < m_form->RichShow->LineCount(); ++line) {
        lines << QString::fromLatin1(m_form->RichShow->LineText(line));
    }
    EXPECT_EQ(printed, lines);
}

// The first pages of a large view are laid out from its first lines while the whole view
// is still being taken apart, and the pages that follow join them without a row lost,
// repeated or laid out differently: the pages are those of the whole view laid out at once.
TEST_F(PreviewBuildTest, ALargeViewsFirstPagesComeBeforeTheWholeViewIsTakenApart) {
    const auto line = [](int n, size_t length) {
        std::string payload = std::to_string(n) + ":";
        while (payload.size() < length) {
            payload += "AB ";
        }
        return payload;
    };
    struct View {
        const char* name;
        int shortLines;  // lines of about 30 characters first
        size_t longLine; // then one of this length (0: none)
        int lines;       // then as many lines of this length
        size_t length;
    };
    const View views[] = {
        {"short lines", 20000, 0, 0, 0},
        {"a long line where the first lines end", 1999, 60000, 1000, 30},
        {"long lines: the first lines end by their size", 0, 0, 2500, 1200},
    };
    for (const View& view : views) {
        SCOPED_TRACE(view.name);
        m_form->RichShow->Clear();
        int n = 0;
        for (int i = 0; i < view.shortLines; ++i, ++n) {
            AppendTrafficLine(*m_form->RichShow, "R[12:00:00] ", 0x0000FF, line(n, 30));
        }
        if (view.longLine > 0) {
            AppendTrafficLine(*m_form->RichShow, "R[12:00:00] ", 0x0000FF,
                              line(n++, view.longLine));
        }
        for (int i = 0; i < view.lines; ++i, ++n) {
            AppendTrafficLine(*m_form->RichShow, "R[12:00:00] ", 0x00C000, line(n, view.length));
        }

        HeldText held;
        m_window->SetTextRunner(held.Runner());
        ShowPreview();
        TNicePreview* panel = m_window->NicePreview1;
        EXPECT_FALSE(held.ran) << "the window waited for the whole view";
        ASSERT_GT(panel->PageCount(), 0);
        EXPECT_TRUE(m_window->Building());
        held.Release();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !m_window->Building(); }, 120000));

        TPrintForm reference(*m_form->RichShow, m_prompter, m_form.get(), &m_printer);
        reference.SetTextRunner(AtOnce());
        reference.FormActivate();
        reference.FinishBuild();
        ASSERT_EQ(panel->PageCount(), reference.NicePreview1->PageCount());
        for (int page = 0; page < panel->PageCount(); ++page) {
            ASSERT_EQ(
                PageRows(page).join('\n').toStdString(),
                PictureText(reference.NicePreview1->Page(page)).Rows().join('\n').toStdString())
                << "page " << page + 1;
        }
        m_window->hide();
    }
}

TEST_F(PreviewBuildTest, PrintingWhileLayingOutWaitsForEveryPage) {
    AddTraffic(20000);
    ShowPreview();
    ASSERT_TRUE(m_window->Building());
    m_printer.answers = {RecordingPrinter::Range(1, 1, 1)};
    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    // A second click while the pages are laid out asks for no second dialog.
    QTest::mouseClick(m_window->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_printer.dialogs.empty(); }, 120000));
    EXPECT_FALSE(m_window->Building());
    ASSERT_EQ(m_printer.dialogs.size(), 1u);
    EXPECT_EQ(m_printer.dialogs[0].maxPage, m_window->NicePreview1->PageCount());
    EXPECT_EQ(m_printer.jobs.size(), 1u);
}

TEST_F(PreviewBuildTest, TheMainWindowsPrintLaysOutALargeViewBetweenEventsBeforeTheDialog) {
    AddTraffic(110000);
    m_printer.answers = {RecordingPrinter::Range(2, 2, 1)};
    m_form->N14->trigger();
    // The command returns with pages still to lay out and no dialog yet.
    ASSERT_TRUE(m_window->PrintWaiting());
    EXPECT_TRUE(m_printer.dialogs.empty());
    EXPECT_FALSE(m_window->isVisible());

    // Between the slices the window handles its events: each look finds more pages laid
    // out than the last, and the dialog comes after all of them.
    std::vector<int> seen;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (m_printer.dialogs.empty()) {
            seen.push_back(m_window->NicePreview1->PageCount());
        }
    });
    look.start(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_printer.dialogs.empty(); }, 600000));
    look.stop();
    const int pages = m_window->NicePreview1->PageCount();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_LT(seen.front(), pages);
    EXPECT_GT(seen.back(), seen.front());
    EXPECT_EQ(m_printer.dialogs[0].maxPage, pages);
    ASSERT_EQ(m_printer.jobs.size(), 1u);
    EXPECT_EQ(PictureText(*m_printer.jobs[0].sheets[0]).Rows(), PageRows(1));
    EXPECT_EQ(m_printer.owners[0], m_form.get());
    EXPECT_FALSE(m_window->PrintWaiting());
}

} // namespace
