#pragma once
// View > All Commands. The shipped layout leaves many built commands out of the menus and
// tool bars; each of them is marked where it is made, and the choice shows or hides all
// marked ones in their places. Hidden or shown, a marked menu item's shortcut keeps
// working exactly once.

class QAction;
class QObject;
class QShortcut;

// Marks a command (menu item, tool button or separator) that the shipped layout hides.
// `standIn` is the shortcut that reaches a hidden item's command; it stands down while
// the item itself is shown, so a key never has two owners.
void MarkHiddenCommand(QAction* action, QShortcut* standIn = nullptr);
bool IsHiddenCommand(const QAction* action);
// Shows every marked command under `root` (its children at any depth), or hides them again.
void ShowHiddenCommands(QObject* root, bool show);
