#pragma once
// The print preview window: the traffic view's pages in the preview panel, rebuilt each
// time the window becomes active, with buttons to zoom and to print; and the direct print
// of the main window's "Print", which builds the same pages in the hidden window.

#include "ui/print/PrintClass.h"
#include "ui/print/PrinterSeam.h"

#include <QBasicTimer>
#include <QDialog>
#include <QPointer>

#include <functional>
#include <future>
#include <memory>

class QFrame;
class QLabel;
class QPushButton;
class QStatusBar;
class RichView;
class TMainContext;
class TNicePreview;
class TUiPrompter;

class TPrintForm : public QDialog {
    Q_OBJECT
public:
    // Prints through printer, or through the installed printers when it is null.
    TPrintForm(RichView& source, TUiPrompter& prompter, QWidget* mainWindow,
               TPrinterSeam* printer = nullptr);
    ~TPrintForm() override;

    // The window became active: the pages are built anew when the traffic view has changed
    // since they were last built. The first pages are there when this returns; the rest
    // are laid out a few at a time between the window's events, with the count so far in
    // the status line until the total is known.
    void FormActivate();
    // Whether pages are still being laid out.
    bool Building() const { return m_building; }
    // Lays out the remaining pages now.
    void FinishBuild();
    // "Print": the print dialog over the pages shown, then the chosen pages and copies.
    // Pages still to lay out come first, in slices between the window's events.
    void Button1Click();
    // The main window's "Print": the pages built in this window without showing it (in
    // slices between the window's events for a large view), then the print dialog.
    void PrintDirect();
    // Whether a print waits for the pages to be laid out.
    bool PrintWaiting() const { return m_printWhenBuilt != nullptr; }
    // What takes the whole view apart for the pages: by default a thread of its own. A
    // runner starts the job and hands back its result to come.
    using TTextRunner = std::function<std::future<TPrintText>(std::function<TPrintText()> job)>;
    void SetTextRunner(TTextRunner runner) { m_runText = std::move(runner); }

    // The print dialog's settings, kept between prints as the user left them.
    TPrinterSeam::TDialogChoice PrintDialog1;

    QFrame* Panel1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QPushButton* Button5 = nullptr;
    QPushButton* Button8 = nullptr;
    TNicePreview* NicePreview1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanel = nullptr; // the status bar's one panel

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void NicePreview1Change();
    // Starts laying out the traffic view of this moment.
    void StartBuild();
    // Lays out pages until the budget is spent (at least minPages of them); ends the build
    // after the last page.
    void BuildSlice(int minPages, int budgetMs);
    void EndBuild();
    // Hands the text taken apart to the paginator once it is ready (waits with wait);
    // false while it is not.
    bool TakeText(bool wait);
    // The print dialog over dialogOwner once every page is laid out: at once for a view
    // of a few pages, else after the last slice.
    void PrintWhenBuilt(QWidget* dialogOwner);
    void PrintBuiltPages(QWidget* dialogOwner);
    void PrintChosenPages(QWidget* dialogOwner);
    void ShowPageStatus(int page, int total);

    RichView& m_source;
    TUiPrompter& m_prompter;
    QWidget* m_mainWindow;
    std::unique_ptr<TPrinterSeam> m_ownPrinter;
    TPrinterSeam& m_printer;
    TPrintPaginator m_paginator;
    // The traffic view changed since the pages were last built (or never built).
    bool m_stale = true;
    bool m_building = false;
    QBasicTimer m_buildTimer;
    TTextRunner m_runText;
    std::future<TPrintText> m_text;
    // The first pages are laid out from the view's first lines while m_text is made.
    bool m_head = false;
    // A print that waits for the pages, and the window its dialog goes over.
    QPointer<QWidget> m_printWhenBuilt;
};

// Creates the preview window for the main window's traffic view and connects the main
// window's "Print Preview" and "Print" to it. Prints through printer, or through the
// installed printers when it is null.
TPrintForm* InstallPrintForm(TMainContext& form, TUiPrompter& prompter,
                             TPrinterSeam* printer = nullptr);
