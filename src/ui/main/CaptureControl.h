#pragma once
// File > "Capture to File...": every piece of text the program shows in the traffic view
// also goes to a capture file (traffic/TrafficCapture), so nothing is lost when the view
// drops its oldest lines. Choosing the item again ends the capture.

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QWidget;
class RichView;
class TTrafficCapture;
class TUiPrompter;

class TCaptureControl : public QObject {
    Q_OBJECT
public:
    struct Settings {
        uint64_t rotateBytes = 0;
        std::vector<uint32_t> colors; // prefix, received, sent
    };
    TCaptureControl(RichView& view, TUiPrompter& prompter, QWidget* owner,
                    std::function<Settings()> settings);
    ~TCaptureControl() override;

    // The checkable menu item, put before `before` in the menu.
    QAction* AddAction(QMenu* menu, QAction* before);
    QAction* Action() const { return m_action; }

    // Starts capturing into path (replacing a capture that runs); false after a warning.
    // The file and older numbered parts of a capture of that name are replaced without a
    // question: the menu item asks first (MayReplace).
    bool Start(const std::string& path);
    // Writes what is queued and closes the file.
    void Stop();
    bool Active() const { return m_capture != nullptr; }
    // "Capture 12.3 MB" (or "Capture 40 KB" below a megabyte) while on: the size of the
    // whole capture, all its rotated files. Empty when off.
    QString StatusText() const;

private:
    void Toggle();
    // Asks, as Save does, before a capture replaces an existing file or deletes the older
    // numbered parts of one; true when nothing is there or the user says Yes.
    bool MayReplace(const std::string& path);

    RichView& m_view;
    TUiPrompter& m_prompter;
    QWidget* m_owner;
    std::function<Settings()> m_settings;
    std::unique_ptr<TTrafficCapture> m_capture;
    QAction* m_action = nullptr;
};
