#pragma once
// The main window with its print preview window over a recording printer, and numbered
// traffic lines to print: line n holds n in its first two hex pairs. Offscreen platform,
// a private data folder, scripted message boxes.

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

#include <QLabel>

#include <cstdio>
#include <memory>

class TrafficPrintFixture : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        DataFolder().clear();
        m_settings = std::make_unique<SettingsRecord>();
        m_form = std::make_unique<TMainForm>(m_prompter, *m_settings);
        m_form->CreateWindows();
        m_window = InstallPrintForm(*m_form, m_prompter, Printer());
        m_form->SetTextCapacity(2147482623);
        m_form->LoadCommandLineFile(QString());
        m_form->show();
    }
    void TearDown() override {
        m_form.reset();
        DataFolder().clear();
        TempFolderTest::TearDown();
    }

    // The printer the window prints through.
    virtual TPrinterSeam* Printer() { return &m_printer; }

    void AddTraffic(int count) {
        for (int i = 0; i < count; ++i) {
            m_traffic += 1;
            char payload[64];
            std::snprintf(payload, sizeof payload, "%02X %02X 03 04 05 06 07 08 ",
                          (m_traffic >> 8) & 0xFF, m_traffic & 0xFF);
            AppendTrafficLine(*m_form->RichShow, "R[12:00:00] ", 0x0000FF, payload);
        }
    }
    QStringList PageRows(int page) const {
        return PictureText(m_window->NicePreview1->Page(page)).Rows();
    }
    QString Status() const { return m_window->StatusPanel->text(); }

    ScriptedPrompter m_prompter;
    RecordingPrinter m_printer;
    std::unique_ptr<SettingsRecord> m_settings;
    std::unique_ptr<TMainForm> m_form;
    TPrintForm* m_window = nullptr;
    int m_traffic = 0;
};
