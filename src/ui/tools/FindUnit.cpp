#include "ui/tools/FindUnit.h"

#include "ui/main/RichView.h"

#include <QApplication>
#include <QCloseEvent>

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

void TFindForm::closeEvent(QCloseEvent* event) {
    QDockWidget::closeEvent(event);
    m_settings.findWindowVisible = false;
    if (RefreshSettings) {
        RefreshSettings();
    }
}
