#include "ui/main/UiPrompter.h"

#include <QColorDialog>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QUrl>

void TUiPrompter::Warning(const std::string& text, const std::string& caption, PromptOwner owner) {
    QWidget* w = owner == PromptOwner::SendWindow ? m_sendWindow : m_mainWindow;
    Warning(w, QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())),
            QString::fromLatin1(caption.data(), static_cast<qsizetype>(caption.size())));
}

void TQtPrompter::Warning(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox::warning(owner, caption, text, QMessageBox::Ok);
}

bool TQtPrompter::Question(QWidget* owner, const QString& text, const QString& caption) {
    return QMessageBox::question(owner, caption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

namespace {

// Icons and type names from the name alone. The standard provider asks the MIME database,
// which reads a file without a known extension to guess its type: in /proc such a read
// (kmsg) never returns, and the whole program froze on the window thread.
class TNameOnlyIconProvider final : public QFileIconProvider {
public:
    QIcon icon(IconType type) const override { return QFileIconProvider::icon(type); }
    QIcon icon(const QFileInfo& info) const override {
        return QFileIconProvider::icon(info.isDir() ? Folder : File);
    }
    QString type(const QFileInfo& info) const override {
        if (info.isDir()) {
            return QStringLiteral("Folder");
        }
        return QMimeDatabase()
            .mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension)
            .comment();
    }
};

} // namespace

void SetUpFileDialog(QFileDialog& dialog) {
    static TNameOnlyIconProvider provider;
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::DontUseCustomDirectoryIcons, true);
    dialog.setIconProvider(&provider);
}

// Filters come in the "caption|pattern|caption|pattern" form; Qt wants "caption (pattern)".
// The dialog then shows the captions alone, as given ("rtf(*.rtf)", "all").
static void SetFilter(QFileDialog& dialog, const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        out << parts[i] + QStringLiteral(" (") + parts[i + 1] + QLatin1Char(')');
    }
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setNameFilters(out);
}

namespace {

bool InPseudoFileSystem(const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    for (const char* root : {"/proc", "/sys", "/dev"}) {
        const QString r = QString::fromLatin1(root);
        if (clean == r || clean.startsWith(r + QLatin1Char('/'))) {
            return true;
        }
    }
    return false;
}

} // namespace

QString SafeDialogPath(const QString& path, const QString& fallbackFolder) {
    if (path.isEmpty()) {
        return fallbackFolder;
    }
    const QFileInfo info(path);
    if (!path.contains(QLatin1Char('/'))) {
        return QDir(fallbackFolder).filePath(path);
    }
    if (!InPseudoFileSystem(info.absoluteFilePath())) {
        return path;
    }
    // A file there keeps its name in the other folder; the folders themselves go entirely.
    return InPseudoFileSystem(info.absolutePath()) ? QDir(fallbackFolder).filePath(info.fileName())
                                                   : fallbackFolder;
}

QString TQtPrompter::StartFolder() const {
    return m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder;
}

void TQtPrompter::Remember(const QString& chosen, bool isFolder) {
    const QString folder = isFolder ? chosen : QFileInfo(chosen).absolutePath();
    if (!folder.isEmpty() && !InPseudoFileSystem(folder)) {
        m_lastFolder = folder;
    }
}

QString TQtPrompter::SaveFileName(QWidget* owner, const QString& proposedName,
                                  const QString& filter) {
    QFileDialog dialog(owner);
    SetUpFileDialog(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    SetFilter(dialog, filter);
    const QString start = SafeDialogPath(proposedName, StartFolder());
    dialog.setDirectory(QFileInfo(start).absolutePath());
    dialog.selectFile(start);
    // The program asks about replacing a file itself, after it has added the extension.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    Remember(dialog.selectedFiles().first(), false);
    return dialog.selectedFiles().first();
}

QString TQtPrompter::OpenFileName(QWidget* owner, const QString& initialName,
                                  const QString& filter) {
    QFileDialog dialog(owner);
    SetUpFileDialog(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    SetFilter(dialog, filter);
    const QString start = SafeDialogPath(initialName, StartFolder());
    if (initialName.isEmpty() || start == StartFolder()) {
        dialog.setDirectory(start);
    } else {
        dialog.setDirectory(QFileInfo(start).absolutePath());
        dialog.selectFile(start);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    Remember(dialog.selectedFiles().first(), false);
    return dialog.selectedFiles().first();
}

bool TQtPrompter::OpenUrl(const QString& url) {
    return QDesktopServices::openUrl(QUrl(url));
}

bool TQtPrompter::ChooseColor(QWidget* owner, uint32_t& bgr) {
    const QColor initial(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                         static_cast<int>((bgr >> 16) & 0xFF));
    const QColor chosen = QColorDialog::getColor(initial, owner);
    if (!chosen.isValid()) {
        return false;
    }
    bgr = static_cast<uint32_t>(chosen.red()) | static_cast<uint32_t>(chosen.green()) << 8 |
          static_cast<uint32_t>(chosen.blue()) << 16;
    return true;
}

void TQtPrompter::Message(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

QString TQtPrompter::FolderName(QWidget* owner, const QString& title, const QString& initial) {
    QFileDialog dialog(owner, title, InPseudoFileSystem(initial) ? StartFolder() : initial);
    SetUpFileDialog(dialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    const QString chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                               ? dialog.selectedFiles().first()
                               : QString();
    if (!chosen.isEmpty()) {
        Remember(chosen, true);
    }
    return chosen;
}
