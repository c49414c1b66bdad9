#include "ui/main/Application.h"

#include <QMessageBox>
#include <exception>

namespace {
std::function<void(const std::string&)>& Reporter() {
    static std::function<void(const std::string&)> reporter;
    return reporter;
}
} // namespace

TKorvaneApplication::TKorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // No display name: the window system would append it to every caption ("About — Korvane").
    setApplicationName(QStringLiteral("Korvane"));
    setOrganizationName(QStringLiteral("Dolvy"));
    setApplicationVersion(QStringLiteral("5.0"));
}

bool TKorvaneApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportError(e.what());
    } catch (...) {
        ReportError("An unknown error occurred.");
    }
    return false;
}

void TKorvaneApplication::SetErrorReporter(std::function<void(const std::string&)> reporter) {
    Reporter() = std::move(reporter);
}

void TKorvaneApplication::ReportError(const std::string& message) {
    if (Reporter()) {
        Reporter()(message);
        return;
    }
    QMessageBox::warning(QApplication::activeWindow(), QApplication::applicationName(),
                         QString::fromLocal8Bit(message.c_str()));
}
