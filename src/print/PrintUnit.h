#pragma once
// The print preview window: the traffic view's pages in the preview panel, rebuilt each
// time the window becomes active, with buttons to zoom and to print; and the direct print
// of the main window's "Print", which builds the same pages in the hidden window.

#include "print/PrintClass.h"
#include "print/PrinterSeam.h"

#include <QDialog>

#include <memory>

class QFrame;
class QLabel;
class QPushButton;
class QStatusBar;
class RichView;
class TMainForm;
class TNicePreview;
class TUiPrompter;

class TPrintForm : public QDialog {
    Q_OBJECT
public:
    // Prints through printer, or through the installed printers when it is null.
    TPrintForm(RichView& source, TUiPrompter& prompter, QWidget* mainWindow,
               TPrinterSeam* printer = nullptr);
    ~TPrintForm() override;

    // Builds the pages anew from the traffic view of this moment.
    void FormActivate();
    // "Print": the print dialog over the pages shown, then the chosen pages and copies.
    void Button1Click();
    // The main window's "Print": the pages built in this window without showing it, then
    // the print dialog.
    void PrintDirect();

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

private:
    void NicePreview1Change();
    void BuildPages();
    void PrintChosenPages(QWidget* dialogOwner);
    void ShowPageStatus(int page, int total);

    RichView& m_source;
    TUiPrompter& m_prompter;
    QWidget* m_mainWindow;
    std::unique_ptr<TPrinterSeam> m_ownPrinter;
    TPrinterSeam& m_printer;
    TPrintPaginator m_paginator;
};

// Creates the preview window for the main window's traffic view and connects the main
// window's "Print Preview" and "Print" to it. Prints through printer, or through the
// installed printers when it is null.
TPrintForm* InstallPrintForm(TMainForm& form, TUiPrompter& prompter,
                             TPrinterSeam* printer = nullptr);
