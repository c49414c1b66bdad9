#pragma once
// Every message box and standard dialog of the windows goes through one prompter, so the
// program shows the real dialogs and tests script the answers: nothing modal can block a
// test.

#include "traffic/Prompter.h"

#include <QString>
#include <QWidget>
#include <cstdint>

class TUiPrompter : public Prompter {
public:
    // Warning box: warning icon, one OK button.
    void Warning(const std::string& text, const std::string& caption, PromptOwner owner) override;
    virtual void Warning(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Yes/No question; true for Yes.
    virtual bool Question(QWidget* owner, const QString& text, const QString& caption) = 0;
    // File dialogs; an empty result means cancelled.
    virtual QString SaveFileName(QWidget* owner, const QString& proposedName,
                                 const QString& filter) = 0;
    virtual QString OpenFileName(QWidget* owner, const QString& initialName,
                                 const QString& filter) = 0;
    // Opens a page (a web address or a local file's URL) in the desktop's browser; false
    // when no browser could be started.
    virtual bool OpenUrl(const QString& url) = 0;
    // Plain message box: no icon, one OK button.
    virtual void Message(QWidget* owner, const QString& text, const QString& caption) = 0;
    // Folder browser starting at `initial`; an empty result means cancelled.
    virtual QString FolderName(QWidget* owner, const QString& title, const QString& initial) = 0;
    // Colour dialog opened with bgr (0x00BBGGRR); true and the chosen colour in bgr when
    // the user confirms, bgr untouched when cancelled.
    virtual bool ChooseColor(QWidget* owner, uint32_t& bgr) = 0;

    // The windows the engine-side owners stand for.
    void SetOwners(QWidget* mainWindow, QWidget* sendWindow) {
        m_mainWindow = mainWindow;
        m_sendWindow = sendWindow;
    }

protected:
    QWidget* m_mainWindow = nullptr;
    QWidget* m_sendWindow = nullptr;
};

// Where a file or folder dialog starts for `path` (a file or folder name, with or without a
// folder). Folders of the system's pseudo files (/proc, /sys, /dev) are never shown: merely
// listing them can block on a device, so such a path starts in `fallbackFolder` instead,
// keeping only the file name. A name without a folder starts in `fallbackFolder` too.
QString SafeDialogPath(const QString& path, const QString& fallbackFolder);

// Sets up a file dialog so that it never reads a file's contents (icons and types come
// from names alone): a folder such as /proc holds files whose reading never ends.
class QFileDialog;
void SetUpFileDialog(QFileDialog& dialog);

// The real dialogs.
class TQtPrompter final : public TUiPrompter {
public:
    using TUiPrompter::Warning;
    void Warning(QWidget* owner, const QString& text, const QString& caption) override;
    bool Question(QWidget* owner, const QString& text, const QString& caption) override;
    QString SaveFileName(QWidget* owner, const QString& proposedName,
                         const QString& filter) override;
    QString OpenFileName(QWidget* owner, const QString& initialName,
                         const QString& filter) override;
    bool OpenUrl(const QString& url) override;
    void Message(QWidget* owner, const QString& text, const QString& caption) override;
    QString FolderName(QWidget* owner, const QString& title, const QString& initial) override;
    bool ChooseColor(QWidget* owner, uint32_t& bgr) override;

private:
    // The folder of the last file or folder chosen outside the pseudo-file systems; the
    // home folder at first.
    QString StartFolder() const;
    void Remember(const QString& chosen, bool isFolder);
    QString m_lastFolder;
};
