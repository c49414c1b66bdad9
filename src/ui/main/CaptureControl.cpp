#include "ui/main/CaptureControl.h"

#include "traffic/TrafficCapture.h"
#include "ui/main/RichView.h"
#include "ui/main/UiPrompter.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>

#include <exception>
#include <utility>

TCaptureControl::TCaptureControl(RichView& view, TUiPrompter& prompter, QWidget* owner,
                                 std::function<Settings()> settings)
    : QObject(owner), m_view(view), m_prompter(prompter), m_owner(owner),
      m_settings(std::move(settings)) {}

TCaptureControl::~TCaptureControl() {
    Stop();
}

QAction* TCaptureControl::AddAction(QMenu* menu, QAction* before) {
    m_action = new QAction(QStringLiteral("Capture to File..."), menu);
    m_action->setObjectName(QStringLiteral("CaptureToFile"));
    m_action->setCheckable(true);
    menu->insertAction(before, m_action);
    connect(m_action, &QAction::triggered, this, &TCaptureControl::Toggle);
    return m_action;
}

void TCaptureControl::Toggle() {
    if (Active()) {
        Stop();
        return;
    }
    const QString chosen =
        m_prompter.SaveFileName(m_owner, QStringLiteral("capture.txt"),
                                QStringLiteral("text(*.txt)|*.txt|rtf(*.rtf)|*.rtf|all|*.*"));
    if (!chosen.isEmpty() && MayReplace(chosen.toStdString())) {
        Start(chosen.toStdString());
    }
    if (m_action != nullptr) {
        m_action->setChecked(Active());
    }
}

bool TCaptureControl::MayReplace(const std::string& path) {
    const std::vector<std::string> older = TTrafficCapture::OlderParts(path);
    const bool exists = QFileInfo::exists(QString::fromStdString(path));
    if (!exists && older.empty()) {
        return true;
    }
    QString text = QStringLiteral("The file already exists.Do you want to replace it.");
    if (!exists) {
        text = QStringLiteral("Parts of an earlier capture of that name exist. Do you want to "
                              "replace them?");
    }
    if (!older.empty()) {
        const QString first = QFileInfo(QString::fromStdString(older.front())).fileName();
        const QString last = QFileInfo(QString::fromStdString(older.back())).fileName();
        text += older.size() == 1
                    ? QStringLiteral("\n%1 is deleted with it.").arg(first)
                    : QStringLiteral("\n%1 files of it, %2 to %3, are deleted with it.")
                          .arg(older.size())
                          .arg(first, last);
    }
    return m_prompter.Question(m_owner, text, QStringLiteral("Capture to File"));
}

bool TCaptureControl::Start(const std::string& path) {
    Stop();
    const Settings settings = m_settings();
    TCaptureOptions options;
    options.path = path;
    options.rotateBytes = settings.rotateBytes;
    options.colors = settings.colors;
    try {
        m_capture = std::make_unique<TTrafficCapture>(options);
    } catch (const std::exception& e) {
        m_prompter.Warning(m_owner, QString::fromLocal8Bit(e.what()),
                           QStringLiteral("Capture to File"));
        return false;
    }
    TTrafficCapture* capture = m_capture.get();
    m_view.OnInserted = [capture](std::string_view text, uint32_t color) {
        capture->Append(text, color);
    };
    if (m_action != nullptr) {
        m_action->setChecked(true);
    }
    return true;
}

void TCaptureControl::Stop() {
    if (!m_capture) {
        return;
    }
    m_view.OnInserted = nullptr;
    m_capture->Close();
    const std::string error = m_capture->ErrorText();
    m_capture.reset();
    if (m_action != nullptr) {
        m_action->setChecked(false);
    }
    if (!error.empty()) {
        m_prompter.Warning(m_owner, QString::fromLocal8Bit(error),
                           QStringLiteral("Capture to File"));
    }
}

QString TCaptureControl::StatusText() const {
    if (!m_capture) {
        return {};
    }
    if (!m_capture->ErrorText().empty()) {
        return QStringLiteral("Capture failed");
    }
    // The whole capture, not the rotated file being written, which starts again at zero.
    const uint64_t bytes = m_capture->BytesWritten();
    if (bytes < 1024 * 1024) {
        return QStringLiteral("Capture %1 KB").arg((bytes + 1023) / 1024);
    }
    return QStringLiteral("Capture %1 MB")
        .arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}
