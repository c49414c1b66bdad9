#include "ui/tools/FindDiaUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "ui/main/MainContext.h"
#include "ui/main/RichView.h"
#include "ui/main/UiPrompter.h"
#include "ui/tools/FindUnit.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include <string>

namespace {

constexpr int ClientWidth = 382;
constexpr int ClientHeight = 98;
// A find-all pass lets the user interface run at least this often (milliseconds): often
// enough for the pump, the timers and a click on "Cancel", rarely enough that a pass over
// a full traffic view is not spent dispatching events.
constexpr qint64 EventInterval = 10;

QString FromLatin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

TFindDialog::TFindDialog(RichView& trafficView, TFindForm& output, const SettingsRecord& settings,
                         TUiPrompter& prompter, QWidget* parent)
    : QDialog(parent, FixedDialogFlags(Qt::WindowStaysOnTopHint)), m_view(trafficView),
      m_output(output), m_settings(settings), m_prompter(prompter) {
    setObjectName(QStringLiteral("FindDialog"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("Find"));
    setModal(false);
    SetFormFont(this);
    setFixedSize(ClientWidth, ClientHeight);

    Label1 = Named(new QLabel(QStringLiteral("Find What:"), this), "Label1");
    Label1->adjustSize();
    Label1->move(14, 10);
    FindText = Named(new QLineEdit(this), "FindText");
    FindText->setGeometry(73, 8, 201, 21);
    FindNext = Named(new QPushButton(QStringLiteral("Find Next (&F)"), this), "FindNext");
    FindNext->setGeometry(280, 8, 89, 21);
    // Enter in the search field finds the next match.
    FindNext->setDefault(true);
    FindAll = Named(new QCheckBox(QStringLiteral("Find All"), this), "FindAll");
    FindAll->adjustSize();
    FindAll->move(16, 40);
    UpLowCase = Named(new QCheckBox(QStringLiteral("Match Case"), this), "UpLowCase");
    UpLowCase->adjustSize();
    UpLowCase->move(16, 69);
    Button2 = Named(new QPushButton(QStringLiteral("Cancel"), this), "Button2");
    Button2->setGeometry(280, 55, 88, 22);
    Button2->setAutoDefault(false);

    connect(FindText, &QLineEdit::textChanged, this, [this] { FindNext->setEnabled(true); });
    connect(FindNext, &QPushButton::clicked, this, [this] { Search(); });
    connect(Button2, &QPushButton::clicked, this, [this] { close(); });
}

void TFindDialog::showEvent(QShowEvent* event) {
    // A window restored from the task bar is not shown anew: what the user typed stays.
    if (!event->spontaneous()) {
        FindText->setText(FromLatin1(m_view.SelectedText()));
        FindNext->setEnabled(!FindText->text().isEmpty());
        if (const QWidget* main = parentWidget(); main != nullptr) {
            move(main->frameGeometry().topLeft() + QPoint(50, 100));
        }
    }
    QDialog::showEvent(event);
}

void TFindDialog::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        m_searching = false;
    }
    QDialog::hideEvent(event);
}

void TFindDialog::Search() {
    // A pass in progress owns the search position and the output; F3 or a second click
    // meanwhile would start a pass inside it.
    if (m_passRunning || m_view.TextLength() == 0) {
        return;
    }
    const std::string needle = FindText->text().toLatin1().toStdString();
    const bool matchCase = UpLowCase->isChecked();
    if (FindAll->isChecked()) {
        FindAllMatches(needle, matchCase);
    } else {
        FindNextMatch(needle, matchCase);
    }
}

void TFindDialog::FindNextMatch(const std::string& needle, bool matchCase) {
    const int64_t n = static_cast<int64_t>(needle.size());
    // From just after the previous match, skipping as many characters as the string now
    // has; positions here are 0-based.
    const int64_t from = m_position != 0 ? m_position - 1 + n : 0;
    const int64_t at = m_view.Find(needle, from, m_view.TextLength(), matchCase);
    if (at < 0) {
        m_position = 0;
        return;
    }
    m_position = at + 1;
    m_view.SetSelection(at, n);
}

void TFindDialog::FindAllMatches(const std::string& needle, bool matchCase) {
    m_position = 0;
    const int64_t length = m_view.TextLength();
    const int64_t n = static_cast<int64_t>(needle.size());

    m_output.RichFind->Clear();
    setWindowTitle(QStringLiteral("Finding..."));
    m_searching = true;
    m_passRunning = true;
    int lastLine = -1;
    bool found = false;
    int64_t from = 0;
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    while (true) {
        // Text that arrives during the pass lies beyond `length` and is not searched; text
        // cut meanwhile only shortens what is left.
        const int64_t at = m_view.Find(needle, from, length, matchCase);
        if (at < 0 || !m_searching) {
            break;
        }
        found = true;
        m_position = at + 1;
        const int line = m_view.LineFromPosition(at);
        if (line != lastLine) {
            m_output.AppendFoundLine(m_view.LineText(line), m_settings.receiveTextColor);
            lastLine = line;
        }
        from = at + n;
        // The caret follows the matches wherever the user can see it: before the events
        // run and at the end.
        if (sinceEvents.elapsed() >= EventInterval) {
            m_view.SetSelection(at, 0);
            QCoreApplication::processEvents();
            sinceEvents.restart();
        }
    }
    if (found) {
        m_output.ShowOutput();
        // The output takes its room from the traffic view now, so that the last match is
        // scrolled into the room that is left.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        m_view.SetSelection(m_position - 1, 0);
        m_output.RichFind->SetCaret(0, 0);
    } else {
        m_prompter.Warning(this,
                           QStringLiteral("Search string \"") + FromLatin1(needle) +
                               QStringLiteral("\" not found."),
                           QStringLiteral("Find"));
    }
    setWindowTitle(QStringLiteral("Find"));
    m_searching = false;
    m_passRunning = false;
    m_view.viewport()->update();
}

TFindDialog* InstallFindDialog(TMainContext& form, TUiPrompter& prompter) {
    auto* dialog = new TFindDialog(*form.TrafficView(), *form.SearchOutput(), form.Settings(),
                                   prompter, form.MainWindow());
    form.ShowFindDialog = [dialog] {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    };
    form.FindNext = [dialog] { dialog->Search(); };
    return dialog;
}
