// Windows that stay whole on the screen: the Window menu's placements and the print
// preview keep their frames inside the free area, fixed-size dialogs offer no minimise or
// maximise, dialogs at the pointer land in the same place every time, fields and labels
// show their text whole, and file dialogs never start in the system's pseudo files.

#include "settings/SettingsFile.h"
#include "settings/SettingsTestSupport.h"
#include "ui/MainWindowTest.h"
#include "ui/QtTestApp.h"
#include "ui/ScriptedPrompter.h"
#include "ui/main/MainForm.h"
#include "ui/main/ScreenFit.h"
#include "ui/main/UiPrompter.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeDatabase>
#include <QScreen>
#include <QTest>

#include <memory>

namespace {

class WindowsFitScreenTest : public MainWindowTest {
protected:
    QWidget* Window(const char* name) {
        return m_form->findChild<QWidget*>(QString::fromLatin1(name));
    }
};

} // namespace

TEST_F(WindowsFitScreenTest, ThePreviewKeepsItsWholeFrameOnTheScreenFromItsFirstShowing) {
    Start();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget* preview = Window("PrintForm");
    ASSERT_NE(preview, nullptr);
    preview->show();
    EXPECT_TRUE(area.contains(preview->frameGeometry()));
    EXPECT_EQ(preview->frameGeometry().topLeft(), area.topLeft());
}

TEST_F(WindowsFitScreenTest, FixedSizeDialogsHaveNoMinimiseOrMaximiseAndStayPutAtThePointer) {
    Start();
    for (const char* name : {"SetForm", "FilterForm", "FindDialog", "BColorSetForm", "TimeSaveForm",
                             "HexDecForm", "AscForm", "aboutForm"}) {
        SCOPED_TRACE(name);
        QWidget* dialog = Window(name);
        ASSERT_NE(dialog, nullptr);
        const Qt::WindowFlags flags = dialog->windowFlags();
        EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
        EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
        EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
        EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    }

    // Placed at the pointer: the first showing and the next one agree.
    QCursor::setPos(QPoint(300, 500));
    for (const char* name : {"SetForm", "FilterForm", "HexDecForm"}) {
        SCOPED_TRACE(name);
        QWidget* dialog = Window(name);
        dialog->show();
        const QPoint first = dialog->pos();
        dialog->hide();
        dialog->show();
        EXPECT_EQ(dialog->pos(), first);
        dialog->hide();
    }
}

TEST_F(WindowsFitScreenTest, FieldsAndLabelsShowTheirTextWhole) {
    Start();
    auto* lines = Window("TimeSaveForm")->findChild<QLineEdit*>("Edit1");
    ASSERT_NE(lines, nullptr);
    lines->setText(QStringLiteral("150000"));
    const QMargins margins = lines->textMargins();
    EXPECT_LE(lines->fontMetrics().horizontalAdvance(lines->text()) + 6 + margins.left() +
                  margins.right(),
              lines->width());

    QWidget* colors = Window("BColorSetForm");
    for (int row = 1; row <= 5; ++row) {
        SCOPED_TRACE(row);
        auto* label = colors->findChild<QLabel*>(QStringLiteral("Label%1").arg(row));
        QWidget* swatch = colors->findChild<QWidget*>(QStringLiteral("Panel%1").arg(row));
        ASSERT_TRUE(label && swatch);
        EXPECT_LT(label->geometry().right() + 4, swatch->geometry().left());
        EXPECT_LE(swatch->geometry().right(), colors->width());
    }
}

TEST(FileDialogStart, PseudoFileSystemsFallBackToTheHomeFolder) {
    const QString home = QStringLiteral("/home/u");
    struct Case {
        const char* path;
        QString start;
    };
    const Case cases[] = {
        {"/proc/kmsg", home + "/kmsg"},
        {"/proc", home},
        {"/sys/class/tty/x.rtf", home + "/x.rtf"},
        {"/dev/ttyUSB0", home + "/ttyUSB0"},
        {"/dev/../dev/zero", home + "/zero"},
        {"/tmp/log.rtf", "/tmp/log.rtf"},
        {"/processes/log.rtf", "/processes/log.rtf"},
        {"20240101120000", home + "/20240101120000"},
        {"", home},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(SafeDialogPath(QString::fromLatin1(c.path), home), c.start);
    }
}

// The file dialogs tell types from names alone: a file whose contents would say PNG but
// whose name says nothing is never read (in /proc such a read, kmsg, never returns).
TEST(FileDialogStart, TypesComeFromNamesNeverFromContents) {
    const QString folder = QDir::temp().filePath(
        QStringLiteral("korvane-dialog-%1").arg(QCoreApplication::applicationPid()));
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/kmsg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromHex("89504e470d0a1a0a0000000d49484452"));
    file.close();
    // What reading it would have found.
    ASSERT_EQ(QMimeDatabase().mimeTypeForFile(path).name(), "image/png");

    QFileDialog dialog;
    SetUpFileDialog(dialog);
    auto* model = dialog.findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);
    bool loaded = false;
    QObject::connect(model, &QFileSystemModel::directoryLoaded,
                     [&](const QString& loadedPath) { loaded = loaded || loadedPath == folder; });
    dialog.setDirectory(folder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return loaded; }, 10000));
    const QModelIndex index = model->index(path);
    ASSERT_TRUE(index.isValid());
    EXPECT_FALSE(model->type(index).contains(QStringLiteral("PNG"), Qt::CaseInsensitive))
        << model->type(index).toStdString();
    QDir(folder).removeRecursively();
}
