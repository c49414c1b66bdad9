#pragma once
// The application object. Its event dispatch is the program's general error handler: an
// exception that leaves any event handler is shown in a message box and the program
// carries on with the next event.

#include <QApplication>
#include <functional>
#include <string>

class TKorvaneApplication : public QApplication {
    Q_OBJECT
public:
    TKorvaneApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows an error message; the default shows a warning box with the application
    // title. Tests replace it to see what reached the handler.
    static void SetErrorReporter(std::function<void(const std::string&)> reporter);
    static void ReportError(const std::string& message);
};
