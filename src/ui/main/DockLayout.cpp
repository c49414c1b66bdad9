#include "ui/main/DockLayout.h"

#include "platform/FileIO.h"
#include "ui/main/AppOptions.h"

#include <QDockWidget>
#include <QFile>
#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <stdexcept>

namespace {

const QString kForms = QStringLiteral("Forms");
const QString kMain = QStringLiteral("MainForm");

QString SectionOf(const QString& name) {
    return kForms + QLatin1Char('\\') + name;
}

QString PanelName(Qt::DockWidgetArea area) {
    switch (area) {
    case Qt::LeftDockWidgetArea:
        return kMain + QStringLiteral("@LeftDockPanel");
    case Qt::RightDockWidgetArea:
        return kMain + QStringLiteral("@RightDockPanel");
    case Qt::TopDockWidgetArea:
        return kMain + QStringLiteral("@TopDockPanel");
    case Qt::BottomDockWidgetArea:
        return kMain + QStringLiteral("@BottomDockPanel");
    default:
        return QString();
    }
}

Qt::DockWidgetArea AreaOf(const QString& panel) {
    const Qt::DockWidgetArea areas[] = {Qt::LeftDockWidgetArea, Qt::RightDockWidgetArea,
                                        Qt::TopDockWidgetArea, Qt::BottomDockWidgetArea};
    for (Qt::DockWidgetArea a : areas) {
        if (panel.compare(PanelName(a), Qt::CaseInsensitive) == 0) {
            return a;
        }
    }
    return Qt::NoDockWidgetArea;
}

QString Bool(bool b) {
    return b ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
}

// Keeps a restored rectangle on some screen, so a layout written on a larger desktop
// never puts a window where nobody can reach it.
QRect OnScreen(QRect r) {
    const QScreen* screen = QGuiApplication::screenAt(r.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return r;
    }
    const QRect avail = screen->availableGeometry();
    if (!avail.intersects(r)) {
        r.moveTopLeft(avail.topLeft());
    }
    return r;
}

} // namespace

TIniFile TIniFile::Parse(const QByteArray& text) {
    TIniFile ini;
    Section* current = nullptr;
    for (QByteArray raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            ini.m_sections.push_back(Section{line.mid(1, line.size() - 2).trimmed(), {}});
            current = &ini.m_sections.back();
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (current == nullptr || eq <= 0) {
            continue;
        }
        current->entries.emplace_back(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return ini;
}

QByteArray TIniFile::ToBytes() const {
    QByteArray out;
    for (const Section& s : m_sections) {
        if (!out.isEmpty()) {
            out += '\n';
        }
        out += '[' + s.name.toUtf8() + "]\n";
        for (const auto& [key, value] : s.entries) {
            out += key.toUtf8() + '=' + value.toUtf8() + '\n';
        }
    }
    return out;
}

const TIniFile::Section* TIniFile::Find(const QString& name) const {
    for (const Section& s : m_sections) {
        if (s.name.compare(name, Qt::CaseInsensitive) == 0) {
            return &s;
        }
    }
    return nullptr;
}

bool TIniFile::HasSection(const QString& section) const {
    return Find(section) != nullptr;
}

QString TIniFile::Value(const QString& section, const QString& key, const QString& fallback) const {
    if (const Section* s = Find(section)) {
        for (const auto& [k, v] : s->entries) {
            if (k.compare(key, Qt::CaseInsensitive) == 0) {
                return v;
            }
        }
    }
    return fallback;
}

int TIniFile::IntValue(const QString& section, const QString& key, int fallback) const {
    bool ok = false;
    const int v = Value(section, key).toInt(&ok);
    return ok ? v : fallback;
}

bool TIniFile::BoolValue(const QString& section, const QString& key, bool fallback) const {
    const QString v = Value(section, key);
    if (v.compare(QLatin1String("TRUE"), Qt::CaseInsensitive) == 0 || v == QLatin1String("1")) {
        return true;
    }
    if (v.compare(QLatin1String("FALSE"), Qt::CaseInsensitive) == 0 || v == QLatin1String("0")) {
        return false;
    }
    return fallback;
}

void TIniFile::SetValue(const QString& section, const QString& key, const QString& value) {
    Section* s = const_cast<Section*>(Find(section));
    if (s == nullptr) {
        m_sections.push_back(Section{section, {}});
        s = &m_sections.back();
    }
    for (auto& [k, v] : s->entries) {
        if (k.compare(key, Qt::CaseInsensitive) == 0) {
            v = value;
            return;
        }
    }
    s->entries.emplace_back(key, value);
}

// The resource lives in a static library, whose resources must be registered by hand.
static void RegisterLayoutResource() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(korvane);
        return true;
    }();
    (void)registered;
}

QByteArray DefaultLayoutText() {
    RegisterLayoutResource();
    QFile f(QStringLiteral(":/korvane/config.ini"));
    if (!f.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    return f.readAll();
}

bool EnsureLayoutFile(const QString& path) {
    if (PathExists(path.toStdString())) {
        return true;
    }
    const QByteArray text = DefaultLayoutText();
    if (text.isEmpty()) {
        return false;
    }
    try {
        WriteFileAtomically(path.toStdString(), std::string_view(text.constData(), text.size()));
    } catch (const EFileError&) {
        return false;
    }
    return true;
}

std::optional<QByteArray> ReadLayoutText(const QString& path) {
    try {
        const std::string bytes = ReadFileBytes(path.toStdString(), kMaxLayoutBytes);
        return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } catch (const EFileError&) {
        return std::nullopt;
    }
}

bool LoadDockLayout(const QString& path, QMainWindow* main, const QList<QDockWidget*>& docks) {
    const std::optional<QByteArray> text = ReadLayoutText(path);
    if (!text) {
        return false;
    }
    ApplyDockLayout(TIniFile::Parse(*text), main, docks);
    return true;
}

void ApplyDockLayout(const TIniFile& ini, QMainWindow* main, const QList<QDockWidget*>& docks) {
    const QString mainSection = SectionOf(kMain);
    if (ini.HasSection(mainSection)) {
        const int left = ini.IntValue(mainSection, QStringLiteral("Left"), main->x());
        const int top = ini.IntValue(mainSection, QStringLiteral("Top"), main->y());
        const int right = ini.IntValue(mainSection, QStringLiteral("Right"), left + main->width());
        const int bottom =
            ini.IntValue(mainSection, QStringLiteral("Bottom"), top + main->height());
        if (right > left && bottom > top) {
            main->setGeometry(OnScreen(QRect(left, top, right - left, bottom - top)));
        }
        if (ini.BoolValue(mainSection, QStringLiteral("Maximized"), false)) {
            main->setWindowState(main->windowState() | Qt::WindowMaximized);
        }
    }

    QList<QDockWidget*> placed;
    for (QDockWidget* dock : docks) {
        const QString section = SectionOf(dock->objectName());
        if (!ini.HasSection(section)) {
            continue;
        }
        const bool floating = ini.BoolValue(section, QStringLiteral("Floating"), false);
        const Qt::DockWidgetArea area = AreaOf(ini.Value(section, QStringLiteral("ParentName")));
        const QString tabbedWith = ini.Value(section, QStringLiteral("TabbedWith"));
        QDockWidget* partner = nullptr;
        for (QDockWidget* p : placed) {
            if (!tabbedWith.isEmpty() && p->objectName() == tabbedWith) {
                partner = p;
            }
        }
        if (partner != nullptr && !floating) {
            main->tabifyDockWidget(partner, dock);
        } else if (area != Qt::NoDockWidgetArea) {
            main->addDockWidget(area, dock);
        }
        const int w = ini.IntValue(section, QStringLiteral("LRDockWidth"), 0);
        const int h = ini.IntValue(section, QStringLiteral("TBDockHeight"), 0);
        if (!floating && (area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea) &&
            w > 0) {
            main->resizeDocks({dock}, {w}, Qt::Horizontal);
        } else if (!floating && h > 0) {
            main->resizeDocks({dock}, {h}, Qt::Vertical);
        }
        dock->setFloating(floating);
        if (floating) {
            const QRect r(ini.IntValue(section, QStringLiteral("UnDockLeft"), dock->x()),
                          ini.IntValue(section, QStringLiteral("UnDockTop"), dock->y()),
                          ini.IntValue(section, QStringLiteral("UnDockWidth"), dock->width()),
                          ini.IntValue(section, QStringLiteral("UnDockHeight"), dock->height()));
            if (r.width() > 0 && r.height() > 0) {
                dock->setGeometry(OnScreen(r));
            }
        }
        dock->setVisible(ini.BoolValue(section, QStringLiteral("Visible"), dock->isVisible()));
        placed.append(dock);
    }
}

TIniFile CaptureDockLayout(QMainWindow* main, const QList<QDockWidget*>& docks,
                           const TIniFile& previous) {
    TIniFile ini;
    QStringList names{kMain};
    const Qt::DockWidgetArea areas[] = {Qt::LeftDockWidgetArea, Qt::RightDockWidgetArea,
                                        Qt::TopDockWidgetArea, Qt::BottomDockWidgetArea};
    for (Qt::DockWidgetArea a : areas) {
        names << PanelName(a);
    }
    for (QDockWidget* d : docks) {
        names << d->objectName();
    }
    ini.SetValue(kForms, QStringLiteral("FormNames"), names.join(QLatin1Char(';')));

    // The restored (normal) geometry: a minimised or maximised window still records
    // where it will stand when restored.
    const QRect g = main->normalGeometry().isValid() ? main->normalGeometry() : main->geometry();
    const QString mainSection = SectionOf(kMain);
    ini.SetValue(mainSection, QStringLiteral("Left"), QString::number(g.left()));
    ini.SetValue(mainSection, QStringLiteral("Top"), QString::number(g.top()));
    ini.SetValue(mainSection, QStringLiteral("Right"), QString::number(g.left() + g.width()));
    ini.SetValue(mainSection, QStringLiteral("Bottom"), QString::number(g.top() + g.height()));
    ini.SetValue(mainSection, QStringLiteral("Maximized"), Bool(main->isMaximized()));

    for (Qt::DockWidgetArea a : areas) {
        QStringList clients;
        for (QDockWidget* d : docks) {
            if (!d->isFloating() && main->dockWidgetArea(d) == a) {
                clients << d->objectName();
            }
        }
        ini.SetValue(SectionOf(PanelName(a)), QStringLiteral("Clients"),
                     clients.join(QLatin1Char(';')));
    }

    for (QDockWidget* d : docks) {
        const QString section = SectionOf(d->objectName());
        const Qt::DockWidgetArea area = main->dockWidgetArea(d);
        ini.SetValue(section, QStringLiteral("ParentName"),
                     d->isFloating() ? QString() : PanelName(area));
        ini.SetValue(section, QStringLiteral("Floating"), Bool(d->isFloating()));
        ini.SetValue(section, QStringLiteral("Visible"), Bool(!d->isHidden()));
        // A hidden window has no size to measure and a docked one no floating place: both
        // keep what the file held, so showing or floating it again restores them.
        for (const char* key : {"LRDockWidth", "TBDockHeight", "UnDockLeft", "UnDockTop",
                                "UnDockWidth", "UnDockHeight"}) {
            const QString k = QString::fromLatin1(key);
            const QString kept = previous.Value(section, k);
            if (!kept.isEmpty()) {
                ini.SetValue(section, k, kept);
            }
        }
        QString partner;
        for (QDockWidget* other : main->tabifiedDockWidgets(d)) {
            if (docks.indexOf(other) < docks.indexOf(d)) {
                partner = other->objectName();
                break;
            }
        }
        ini.SetValue(section, QStringLiteral("TabbedWith"), partner);
        if (d->isHidden()) {
            continue;
        }
        const bool sideways = area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea;
        if (!d->isFloating()) {
            ini.SetValue(section,
                         sideways ? QStringLiteral("LRDockWidth") : QStringLiteral("TBDockHeight"),
                         QString::number(sideways ? d->width() : d->height()));
        }
        const QRect r = d->geometry();
        if (d->isFloating()) {
            ini.SetValue(section, QStringLiteral("UnDockLeft"), QString::number(r.left()));
            ini.SetValue(section, QStringLiteral("UnDockTop"), QString::number(r.top()));
            ini.SetValue(section, QStringLiteral("UnDockWidth"), QString::number(r.width()));
            ini.SetValue(section, QStringLiteral("UnDockHeight"), QString::number(r.height()));
        }
    }
    return ini;
}

QByteArray DockLayoutBytes(const QString& path, QMainWindow* main, const QList<QDockWidget*>& docks,
                           const TAppOptions* options) {
    TIniFile previous;
    if (const std::optional<QByteArray> old = ReadLayoutText(path)) {
        previous = TIniFile::Parse(*old);
    }
    TIniFile ini = CaptureDockLayout(main, docks, previous);
    (options != nullptr ? *options : TAppOptions::Read(previous)).Write(ini);
    return ini.ToBytes();
}

void SaveDockLayout(const QString& path, QMainWindow* main, const QList<QDockWidget*>& docks,
                    const TAppOptions* options) {
    const QByteArray bytes = DockLayoutBytes(path, main, docks, options);
    // The same atomic replacement as the settings file: a full disk or a crash leaves the
    // last layout whole, and a symbolic link here is replaced, never written through.
    WriteFileAtomically(path.toStdString(), std::string_view(bytes.constData(), bytes.size()));
}
