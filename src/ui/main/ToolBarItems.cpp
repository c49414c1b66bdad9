#include "ui/main/ToolBarItems.h"

#include "ui/main/AllCommands.h"

#include <QAction>
#include <QToolBar>

QAction* AddToolButton(QToolBar* bar, const TToolButtonItem& item) {
    QAction* a = bar->addAction(item.icon, item.text);
    a->setObjectName(QString::fromLatin1(item.name));
    a->setToolTip(item.hint.isEmpty() ? item.text : item.hint);
    a->setCheckable(item.checkable);
    if (QWidget* w = bar->widgetForAction(a)) {
        w->setObjectName(QString::fromLatin1(item.name));
    }
    if (!item.shown) {
        MarkHiddenCommand(a);
    }
    return a;
}

QAction* AddToolSeparator(QToolBar* bar, const char* name, bool shown) {
    QAction* s = bar->addSeparator();
    s->setObjectName(QString::fromLatin1(name));
    if (!shown) {
        MarkHiddenCommand(s);
    }
    return s;
}
