#pragma once
// The find dialog: searches the traffic view, either moving a selection from match to
// match (find next) or listing every line with a match in the search output (find all).
// The main window's F3 runs the same search with whatever the dialog holds, shown or not.

#include "settings/SettingsRecord.h"

#include <QDialog>
#include <cstdint>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class RichView;
class TFindForm;
class TMainContext;
class TUiPrompter;

class TFindDialog : public QDialog {
    Q_OBJECT
public:
    TFindDialog(RichView& trafficView, TFindForm& output, const SettingsRecord& settings,
                TUiPrompter& prompter, QWidget* parent = nullptr);

    // The search operation of the "Find Next" button and of F3.
    void Search();

    // 1-based position of the last match in the traffic view, 0 to start from the top. It
    // lives as long as the program; neither showing nor closing the dialog resets it.
    int64_t SearchPosition() const { return m_position; }
    // True while a find-all pass runs; closing the dialog ends the pass.
    bool Searching() const { return m_searching; }

    QLabel* Label1 = nullptr;
    QLineEdit* FindText = nullptr;
    QPushButton* FindNext = nullptr;
    QCheckBox* FindAll = nullptr;
    QCheckBox* UpLowCase = nullptr;
    QPushButton* Button2 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void FindNextMatch(const std::string& needle, bool matchCase);
    void FindAllMatches(const std::string& needle, bool matchCase);

    RichView& m_view;
    TFindForm& m_output;
    const SettingsRecord& m_settings;
    TUiPrompter& m_prompter;
    int64_t m_position = 0;
    bool m_searching = false;
    bool m_passRunning = false;
};

// Creates the find dialog with the main window as its parent and wires the main window's
// "Find" and "Find Next " commands to it. Needs the search output (CreateWindows).
TFindDialog* InstallFindDialog(TMainContext& form, TUiPrompter& prompter);
