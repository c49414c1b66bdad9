#pragma once
// The user guide: one HTML page made from the README when the program is built, installed
// with the program under share/doc/korvane. The Help commands open it in the browser.

#include <QString>
#include <QStringList>

// Where the guide is looked for, in order: the installed copy (share/doc/korvane beside
// the folder of the program), then the one the build made.
QStringList UserGuideCandidates();
// The first of those that exists; empty when there is none.
QString UserGuidePath();
