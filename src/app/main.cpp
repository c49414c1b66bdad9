// Korvane: a serial-port terminal and traffic monitor.

#include "ui/main/Application.h"
#include "ui/main/MainForm.h"
#include "ui/main/QuitSignals.h"
#include "ui/main/UiPrompter.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

int main(int argc, char** argv) {
    // Answered before any window system is needed, so it works without a display too.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("korvane %s\n", KORVANE_VERSION);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs("Usage: korvane [FILE] [Qt options]\n"
                   "Opens the Korvane window: a serial-port terminal and traffic monitor.\n"
                   "  FILE             a text or RTF file to show in the traffic view\n"
                   "  --version        print the version and exit\n"
                   "  -h, --help       print this text and exit\n"
                   "Qt options: -platform NAME, -display DISPLAY, -style STYLE,\n"
                   "  -stylesheet FILE, -reverse, -qwindowgeometry WxH+X+Y, and the other\n"
                   "options of the Qt toolkit.\n"
                   "For the terminal, without a window: korvane-cli --help. korvane(1)\n",
                   stdout);
        return 0;
    }
    TKorvaneApplication app(argc, argv);
    TQtPrompter prompter;

    // The main window first: its creation loads the settings and lists the ports.
    TMainForm mainForm(prompter);
    mainForm.CreateWindows();
    mainForm.SetTextCapacity(2147482623);
    if (argc > 1) {
        // A file that cannot be read is reported; the program starts with an empty view.
        try {
            mainForm.LoadCommandLineFile(QString::fromLocal8Bit(argv[1]));
        } catch (const std::exception& e) {
            TKorvaneApplication::ReportError(e.what());
        }
    }
    // A quit request is answered even while the window is busy; then what the window last
    // showed while idle is kept.
    TQuitHandling quit;
    quit.collect = [&mainForm] { return mainForm.ClosingFiles(); };
    const TQuitSignals quitSignals(&mainForm, std::move(quit));
    mainForm.show();
    return TKorvaneApplication::exec();
}
