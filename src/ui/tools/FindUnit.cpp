#include "ui/tools/FindUnit.h"

#include "traffic/DataRT.h"
#include "ui/main/RichView.h"

#include <QApplication>
#include <QCloseEvent>

#include <string>

TFindForm::TFindForm(SettingsRecord& settings, QWidget* parent)
    : QDockWidget(QStringLiteral("Search Output"), parent), m_settings(settings) {
    setObjectName(QStringLiteral("FindForm"));
    setAllowedAreas(Qt::AllDockWidgetAreas);
    setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                QDockWidget::DockWidgetFloatable);
    RichFind = new RichView(this);
    RichFind->setObjectName(QStringLiteral("RichFind"));
    RichFind->resize(384, 263);
    setWidget(RichFind);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now != nullptr && isAncestorOf(now) && Activated) {
            Activated();
        }
    });
}

void TFindForm::AppendFoundLine(std::string_view line, uint32_t color) {
    const size_t bracket = line.find(']');
    const size_t h = bracket == std::string_view::npos ? 0 : bracket + 1;
    std::string_view body = line.substr(h);
    // Blanks and control characters go at both ends; bytes above 0x7F are text.
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!body.empty() && blank(body.front())) {
        body.remove_prefix(1);
    }
    while (!body.empty() && blank(body.back())) {
        body.remove_suffix(1);
    }
    std::string head;
    if (h > 0) {
        head.assign(line.substr(0, h));
        head += ' ';
    }
    AppendTrafficLine(*RichFind, head, color, body);
}

void TFindForm::ShowOutput() {
    m_settings.findWindowVisible = true;
    if (RefreshSettings) {
        RefreshSettings();
    }
    show();
    raise();
}

void TFindForm::closeEvent(QCloseEvent* event) {
    QDockWidget::closeEvent(event);
    m_settings.findWindowVisible = false;
    if (RefreshSettings) {
        RefreshSettings();
    }
}
