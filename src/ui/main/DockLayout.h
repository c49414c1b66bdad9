#pragma once
// The window layout file "config.ini": where the main window stands and where each
// dockable tool window is docked, floating, tabbed or hidden. The file is plain INI with
// keys of our own, so a user can read and mend it; an unknown or broken entry leaves
// that window where the window definitions put it.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

class QDockWidget;
class QMainWindow;
struct TAppOptions;

// A small INI document that keeps sections and keys in file order. Section names may
// hold backslashes ("Forms\SendForm"), which QSettings would mangle.
class TIniFile {
public:
    static TIniFile Parse(const QByteArray& text);
    QByteArray ToBytes() const;

    QString Value(const QString& section, const QString& key,
                  const QString& fallback = QString()) const;
    int IntValue(const QString& section, const QString& key, int fallback) const;
    bool BoolValue(const QString& section, const QString& key, bool fallback) const;
    bool HasSection(const QString& section) const;
    void SetValue(const QString& section, const QString& key, const QString& value);

private:
    struct Section {
        QString name;
        std::vector<std::pair<QString, QString>> entries;
    };
    const Section* Find(const QString& name) const;
    std::vector<Section> m_sections;
};

// The built-in default layout (a Qt resource).
QByteArray DefaultLayoutText();

// Writes the default to path when no file is there. Returns false when it could not.
bool EnsureLayoutFile(const QString& path);

// A layout file larger than this is not one of ours and is not read.
inline constexpr uint64_t kMaxLayoutBytes = 1 << 20;

// The text of the layout file; std::nullopt when it is missing, too large, not a regular
// file (a named pipe there must not stop the start-up) or unreadable.
std::optional<QByteArray> ReadLayoutText(const QString& path);

// Applies the layout in the file to the main window and its dock windows (matched by
// objectName). Returns false when the file cannot be read; the windows keep their state.
bool LoadDockLayout(const QString& path, QMainWindow* main, const QList<QDockWidget*>& docks);
void ApplyDockLayout(const TIniFile& ini, QMainWindow* main, const QList<QDockWidget*>& docks);

// The current layout, and writing it atomically. Throws EFileError on a failed write. What cannot
// be measured now (the size of a hidden window, the floating place of a docked one) is taken from
// the previous layout.
TIniFile CaptureDockLayout(QMainWindow* main, const QList<QDockWidget*>& docks,
                           const TIniFile& previous = TIniFile());
// With options, the program's own choices are written in the same file.
QByteArray DockLayoutBytes(const QString& path, QMainWindow* main, const QList<QDockWidget*>& docks,
                           const TAppOptions* options = nullptr);
void SaveDockLayout(const QString& path, QMainWindow* main, const QList<QDockWidget*>& docks,
                    const TAppOptions* options = nullptr);
