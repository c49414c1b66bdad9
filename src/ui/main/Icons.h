#pragma once
// The program's 16 x 16 icons, drawn in code so that they stay sharp, need no image
// files and look alike on every platform.

#include <QIcon>

class QPainter;

enum class TIconKind {
    PortClosed,
    PortOpen,
    Pause,
    Save,
    Open,
    SendWindow,
    FindWindow,
    WebPage,
    Send,
    Cycle,
    Trigger,
    Checksum,
    Ascii,
    Clear,
    WordWrap,
    Filter,
    Find,
    Print,
    Help,
    About,
    Program,
};

QIcon KorvaneIcon(TIconKind kind);
// Draws an icon in a 16 x 16 square of the painter's coordinates: scaled, it gives the
// program's icon at any size (the installed icons are made this way).
void DrawKorvaneIcon(QPainter& painter, TIconKind kind);
