#pragma once
// A request from the system to end the program (logout, kill, Ctrl+C in the terminal that
// started it) closes the main window like the user would, so the settings, the send text
// and the layout are saved and the port is closed.

class QWidget;

void CloseOnQuitSignals(QWidget* window);
