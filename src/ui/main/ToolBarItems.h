#pragma once
// Tool bar buttons and separators named as the window layouts name them: the action and
// the button widget both carry the control's name, so tests and screenshots find either.

#include <QIcon>
#include <QString>

class QAction;
class QToolBar;

struct TToolButtonItem {
    const char* name;
    QIcon icon;
    QString text;
    QString hint;
    bool checkable = false;
    bool shown = true;
};

QAction* AddToolButton(QToolBar* bar, const TToolButtonItem& item);
QAction* AddToolSeparator(QToolBar* bar, const char* name, bool shown);
