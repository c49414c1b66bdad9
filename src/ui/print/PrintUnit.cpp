#include "ui/print/PrintUnit.h"

#include "ui/main/ScreenFit.h"

#include "ui/main/FormStyle.h"

#include "ui/main/MainContext.h"
#include "ui/main/RichView.h"
#include "ui/main/UiPrompter.h"
#include "ui/print/NicePreview.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int PageMargin = 30; // around the text on each page, in page units
// Laying out a large view is done in slices between the window's events: the first slice
// makes enough pages to fill the window, every slice runs for about this long. For a
// large view the first slice makes the pages the window shows at its first zoom, as the
// whole view is not taken apart yet; the grid fills in over the next slices.
constexpr int FirstSlicePages = 12;
constexpr int FirstShownPages = 2;
constexpr int SliceMs = 15;
// A view of up to this many lines is taken apart and printed at once.
constexpr int SmallViewLines = 2000;
// The first lines of a larger view, taken apart on the window's thread for the first pages
// while the whole view is taken apart on a thread of its own: about this many lines or
// characters, whichever comes first (a page takes some 90 lines of traffic).
constexpr size_t HeadLines = 2000;
constexpr int64_t HeadCharacters = 200000;

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int width) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(x, 2, width, 21);
    button->setAutoDefault(false);
    return button;
}

} // namespace

TPrintForm::TPrintForm(RichView& source, TUiPrompter& prompter, QWidget* mainWindow,
                       TPrinterSeam* printer)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint),
      m_source(source), m_prompter(prompter), m_mainWindow(mainWindow),
      m_ownPrinter(printer == nullptr ? std::make_unique<TQtPrinterSeam>() : nullptr),
      m_printer(printer == nullptr ? *m_ownPrinter : *printer),
      m_runText([](std::function<TPrintText()> job) {
          std::packaged_task<TPrintText()> task(std::move(job));
          std::future<TPrintText> text = task.get_future();
          // Left to run on its own: a build given up for a newer one does not wait for the
          // text it no longer needs (as the future of std::async would).
          std::thread(std::move(task)).detach();
          return text;
      }) {
    setObjectName(QStringLiteral("PrintForm"));
    setWindowTitle(QStringLiteral("Print Preview"));
    setModal(false);
    SetFormFont(this);
    resize(703, 512);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::NoFrame);
    Panel1->setFixedHeight(25);
    Button1 = MakeButton(Panel1, "Button1", "Print", 6, 57);
    Button4 = MakeButton(Panel1, "Button4", "Actual Size", 85, 68);
    Button5 = MakeButton(Panel1, "Button5", "Full Page", 161, 64);
    Button2 = MakeButton(Panel1, "Button2", "Zoom In", 240, 57);
    Button3 = MakeButton(Panel1, "Button3", "Zoom Out", 303, 57);
    Button8 = MakeButton(Panel1, "Button8", "Cancel", 385, 57);
    layout->addWidget(Panel1);

    NicePreview1 = new TNicePreview(this);
    NicePreview1->setObjectName(QStringLiteral("NicePreview1"));
    layout->addWidget(NicePreview1, 1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusPanel = new QLabel(StatusBar1);
    StatusPanel->setObjectName(QStringLiteral("StatusPanel"));
    StatusBar1->addWidget(StatusPanel, 1);
    layout->addWidget(StatusBar1);

    PrintDialog1.maxPage = 1;

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] {
        NicePreview1->ActualSize();
        NicePreview1->SetClickMode(TPreviewLayout::ClickNone);
    });
    connect(Button5, &QPushButton::clicked, this, [this] {
        NicePreview1->FullPage();
        NicePreview1->SetClickMode(TPreviewLayout::ClickNone);
    });
    connect(Button2, &QPushButton::clicked, this,
            [this] { NicePreview1->SetClickMode(TPreviewLayout::ClickZoomIn); });
    connect(Button3, &QPushButton::clicked, this,
            [this] { NicePreview1->SetClickMode(TPreviewLayout::ClickZoomOut); });
    connect(Button8, &QPushButton::clicked, this, &QDialog::close);
    connect(NicePreview1, &TNicePreview::changed, this, [this] { NicePreview1Change(); });
    connect(&m_source, &RichView::changed, this, [this] { m_stale = true; });
}

TPrintForm::~TPrintForm() = default;

void TPrintForm::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        FormActivate();
    }
}

void TPrintForm::showEvent(QShowEvent* event) {
    // The window fills the screen's work area with its frame; before its first showing the
    // main window's frame stands in for its own.
    if (const QScreen* screen = this->screen(); screen != nullptr) {
        const QRect client = ClientForFrame(screen->availableGeometry(), FrameMargins(this));
        setFixedSize(client.size());
        move(screen->availableGeometry().topLeft());
    }
    QDialog::showEvent(event);
}

void TPrintForm::NicePreview1Change() {
    const int current = NicePreview1->CurrentPage();
    if (current >= 0 || m_building) {
        ShowPageStatus(current + 1, NicePreview1->PageCount());
    }
}

void TPrintForm::ShowPageStatus(int page, int total) {
    if (m_building) {
        // The total is not known yet: what is laid out so far.
        StatusPanel->setText(
            QString::asprintf("    Page %d    Pages so far %d", std::max(page, 1), total));
        return;
    }
    StatusPanel->setText(QString::asprintf("    Page %d    Total %d", page, total));
}

void TPrintForm::StartBuild() {
    m_buildTimer.stop();
    m_building = true;
    NicePreview1->Clear();
    TLineStore::Snapshot snapshot = m_source.Snapshot();
    const size_t lines = snapshot.lines.size();
    // A large view's first pages come from its first lines, taken apart here: the window
    // shows them at once instead of waiting for the whole view.
    m_head = lines > SmallViewLines;
    if (m_head) {
        size_t head = 0;
        int64_t characters = 0;
        while (head < lines && (head < 2 || (head < HeadLines && characters < HeadCharacters))) {
            characters += snapshot.Line(head).text.Size() + 1;
            ++head;
        }
        m_paginator.ResetHead(TPrintText(snapshot.Styled(0, head)));
    }
    // The whole text is taken apart into lines on a thread of its own: for a large view
    // that is the long part, and the window goes on answering meanwhile.
    m_text =
        m_runText([snapshot = std::make_shared<const TLineStore::Snapshot>(std::move(snapshot))] {
            return TPrintText(snapshot->Styled(0, snapshot->lines.size()));
        });
    m_stale = false;
}

bool TPrintForm::TakeText(bool wait) {
    if (!m_text.valid()) {
        return true;
    }
    if (!wait && m_text.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return false;
    }
    if (m_head) {
        m_paginator.Complete(m_text.get());
    } else {
        m_paginator.Reset(m_text.get());
    }
    return true;
}

void TPrintForm::BuildSlice(int minPages, int budgetMs) {
    if (!m_building) {
        return;
    }
    // Without a budget the whole text is waited for, and so it is for the first pages of a
    // small view; a large view's first pages come from its head meanwhile.
    if (!TakeText(budgetMs < 0 || (!m_head && minPages >= FirstSlicePages)) && !m_head) {
        ShowPageStatus(0, 0);
        return;
    }
    const QRectF area(PageMargin, PageMargin, NicePreview1->PageWidth() - 2 * PageMargin,
                      NicePreview1->PageHeight() - 2 * PageMargin);
    constexpr double width = TPrintPaginator::LayoutWidthInches;
    constexpr double height = TPrintPaginator::LayoutHeightInches;
    QElapsedTimer clock;
    clock.start();
    for (int step = 0;; ++step) {
        if (step >= minPages && budgetMs >= 0 && clock.elapsed() >= budgetMs) {
            ShowPageStatus(NicePreview1->CurrentPage() + 1, NicePreview1->PageCount());
            return;
        }
        if (m_paginator.HeadOnly() && !TakeText(false) &&
            !m_paginator.HasMorePages(width, height)) {
            // The head's pages are laid out; the rest follows the whole text. Only a window
            // still without a page waits for it.
            if (budgetMs >= 0 && NicePreview1->PageCount() > 0) {
                ShowPageStatus(NicePreview1->CurrentPage() + 1, NicePreview1->PageCount());
                return;
            }
            TakeText(true);
        }
        bool made = false;
        const bool more = PaginationStep([&] { return m_paginator.HasMorePages(width, height); },
                                         [&] {
                                             QPainter* canvas = NicePreview1->BeginPage();
                                             m_paginator.DrawNextPage(*canvas, area, width, height);
                                             NicePreview1->EndPage();
                                         },
                                         [&] { return m_paginator.Next(); }, made);
        // A page that failed half-way is closed as far as it got.
        NicePreview1->EndPage();
        if (!more) {
            EndBuild();
            return;
        }
    }
}

void TPrintForm::EndBuild() {
    m_buildTimer.stop();
    m_building = false;
    const int pages = NicePreview1->PageCount();
    PrintDialog1.maxPage = pages;
    ShowPageStatus(pages > 0 ? 1 : 0, pages);
    if (QWidget* owner = m_printWhenBuilt) {
        m_printWhenBuilt = nullptr;
        PrintBuiltPages(owner);
    }
}

void TPrintForm::PrintWhenBuilt(QWidget* dialogOwner) {
    // A small view is laid out at once; a large one a slice at a time between the window's
    // events, and the dialog follows the last page.
    BuildSlice(m_source.LineCount() <= SmallViewLines ? FirstSlicePages : 1, SliceMs);
    if (!m_building) {
        PrintBuiltPages(dialogOwner);
        return;
    }
    m_printWhenBuilt = dialogOwner;
    m_buildTimer.start(0, this);
}

void TPrintForm::PrintBuiltPages(QWidget* dialogOwner) {
    const int pages = NicePreview1->PageCount();
    if (pages == 0) {
        m_prompter.Warning(m_mainWindow, QStringLiteral("There is not content to print."),
                           QStringLiteral("Print"));
        return;
    }
    PrintDialog1.maxPage = pages;
    PrintChosenPages(dialogOwner);
}

void TPrintForm::FinishBuild() {
    BuildSlice(0, -1);
}

void TPrintForm::FormActivate() {
    if (m_stale) {
        StartBuild();
    }
    if (!m_building) {
        return;
    }
    // Enough pages to fill the window at once; the rest follow between events.
    BuildSlice(m_head ? FirstShownPages : FirstSlicePages, SliceMs);
    if (m_building) {
        m_buildTimer.start(0, this);
    }
}

void TPrintForm::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_buildTimer.timerId()) {
        QDialog::timerEvent(event);
        return;
    }
    const int before = NicePreview1->PageCount();
    BuildSlice(1, SliceMs);
    if (m_building) {
        // A slice each time; looked at now and then while nothing can be laid out until the
        // text is taken apart.
        const bool idle = m_text.valid() && NicePreview1->PageCount() == before;
        m_buildTimer.start(idle ? 10 : 0, this);
    }
}

void TPrintForm::hideEvent(QHideEvent* event) {
    // A hidden window lays out nothing unless a print waits for the pages; it goes on when
    // it is active again.
    if (m_printWhenBuilt == nullptr) {
        m_buildTimer.stop();
    }
    QDialog::hideEvent(event);
}

void TPrintForm::Button1Click() {
    NicePreview1->SetClickMode(TPreviewLayout::ClickNone);
    if (!m_printer.PrinterInstalled()) {
        m_prompter.Warning(m_mainWindow, QStringLiteral("Printers have not yet installed."),
                           QStringLiteral("Print"));
        return;
    }
    if (m_printWhenBuilt != nullptr) {
        return; // the dialog comes when the pages are laid out
    }
    // The dialog offers every page: it waits for the pages not laid out yet.
    PrintWhenBuilt(this);
}

void TPrintForm::PrintDirect() {
    if (!m_printer.PrinterInstalled()) {
        m_prompter.Warning(m_mainWindow, QStringLiteral("Printers have not yet installed."),
                           QStringLiteral("Print"));
        return;
    }
    if (m_printWhenBuilt != nullptr) {
        return; // the dialog comes when the pages are laid out
    }
    NicePreview1->ActualSize();
    // Pages built from the same traffic are kept; otherwise they are laid out anew.
    if (m_stale) {
        StartBuild();
    }
    // A dialog over a hidden window would stand alone on the screen; over the main window
    // it is where the user gave the command.
    PrintWhenBuilt(isVisible() ? static_cast<QWidget*>(this) : m_mainWindow);
}

void TPrintForm::PrintChosenPages(QWidget* dialogOwner) {
    try {
        TPrinterSeam::TDialogChoice choice = PrintDialog1;
        if (!m_printer.ShowPrintDialog(dialogOwner, choice)) {
            return;
        }
        PrintDialog1.pageRange = choice.pageRange;
        PrintDialog1.fromPage = choice.fromPage;
        PrintDialog1.toPage = choice.toPage;
        PrintDialog1.copies = choice.copies;
        // The chosen pages of one copy, from 0: exactly those listed ("1,3" is not 1 to 3).
        std::vector<int> chosen;
        if (!choice.pageRange) {
            for (int page = 0; page < NicePreview1->PageCount(); ++page) {
                chosen.push_back(page);
            }
        } else if (!choice.pages.empty()) {
            for (const int page : choice.pages) {
                chosen.push_back(page - 1);
            }
        } else {
            for (int page = choice.fromPage - 1; page <= choice.toPage - 1; ++page) {
                chosen.push_back(page);
            }
        }
        if (m_printer.PrintsToFile()) {
            // One file: every copy of every chosen page in it, in the order a printer
            // would have put them out.
            std::vector<int> pages;
            for (int copy = 0; copy < choice.copies; ++copy) {
                pages.insert(pages.end(), chosen.begin(), chosen.end());
            }
            NicePreview1->PrintPages(m_printer, pages);
            return;
        }
        for (int copy = 0; copy < choice.copies; ++copy) {
            if (!choice.pageRange) {
                NicePreview1->PrintAll(m_printer);
            } else {
                for (const int page : chosen) {
                    NicePreview1->PrintPage(m_printer, page);
                }
            }
        }
    } catch (const std::exception&) {
        // Printing ends quietly on a failure of the dialog or the printer.
    }
}

TPrintForm* InstallPrintForm(TMainContext& form, TUiPrompter& prompter, TPrinterSeam* printer) {
    auto* window = new TPrintForm(*form.TrafficView(), prompter, form.MainWindow(), printer);
    form.ShowPrintPreview = [window] {
        window->show();
        window->raise();
        window->activateWindow();
    };
    form.PrintDirect = [window] { window->PrintDirect(); };
    return window;
}
