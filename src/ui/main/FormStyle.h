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

template <class T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}
