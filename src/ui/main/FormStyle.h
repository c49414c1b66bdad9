#pragma once
// What every window of the program shares: the designed 8-point Tahoma (Liberation Sans
// where Tahoma is not installed) and controls named as the window layouts name them.

#include <QFont>
#include <QString>
#include <QWidget>

inline void SetFormFont(QWidget* window) {
    QFont font = window->font();
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans")});
    font.setPointSize(8);
    window->setFont(font);
}

// The window flags of a dialog of fixed size: a title and a close box, no minimise or
// maximise buttons. `extra` adds flags such as staying on top.
inline Qt::WindowFlags FixedDialogFlags(Qt::WindowFlags extra = {}) {
    return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
           Qt::MSWindowsFixedSizeDialogHint | extra;
}

template <class T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}
