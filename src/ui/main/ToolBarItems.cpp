#include "ui/main/ToolBarItems.h"

#include <QAction>
#include <QToolBar>

QAction* AddToolButton(QToolBar* bar, const TToolButtonSpec& spec) {
    QAction* a = bar->addAction(spec.icon, spec.text);
    a->setObjectName(QString::fromLatin1(spec.name));
    a->setToolTip(spec.hint.isEmpty() ? spec.text : spec.hint);
    a->setCheckable(spec.checkable);
    if (QWidget* w = bar->widgetForAction(a)) {
        w->setObjectName(QString::fromLatin1(spec.name));
    }
    a->setVisible(spec.shown);
    return a;
}

QAction* AddToolSeparator(QToolBar* bar, const char* name, bool shown) {
    QAction* s = bar->addSeparator();
    s->setObjectName(QString::fromLatin1(name));
    s->setVisible(shown);
    return s;
}
