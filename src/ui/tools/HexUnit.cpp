#include "ui/tools/HexUnit.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "codec/HexCodec.h"
#include "ui/main/MainContext.h"
#include "ui/main/UiPrompter.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QValidator>

#include <cstdint>
#include <utility>

namespace {

constexpr std::string_view HexDigits = "0123456789ABCDEFabcdef";
constexpr std::string_view DecDigits = "0123456789";
constexpr std::string_view BinDigits = "01";

// The length limit and letter case of a field for typing, pasting and dropping alike. The
// line edit does not consult it for text set by the program, which may run past the limit
// (Dec of nine F digits has eleven).
class TLimitValidator : public QValidator {
public:
    TLimitValidator(int limit, bool upperCase, QObject* parent)
        : QValidator(parent), m_limit(limit), m_upperCase(upperCase) {}

    State validate(QString& input, int& /*pos*/) const override {
        if (m_upperCase) {
            input = input.toUpper();
        }
        return input.size() > m_limit ? Invalid : Acceptable;
    }

private:
    int m_limit;
    bool m_upperCase;
};

std::string Latin1(const QString& text) {
    return text.toLatin1().toStdString();
}

QString FromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Digits already checked against their base; wraps in 64 bits rather than failing.
int64_t ReadDigits(const std::string& digits, unsigned base) {
    uint64_t value = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            digit = static_cast<unsigned>(c - 'A' + 10);
        }
        value = value * base + digit;
    }
    return static_cast<int64_t>(value);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int x, int y) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->adjustSize();
    label->move(x, y);
    return label;
}

} // namespace

std::optional<std::string> ConverterDigits(std::string_view text, std::string_view digits) {
    std::string kept = RemoveBlanks(text);
    for (const char c : kept) {
        if (digits.find(c) == std::string_view::npos) {
            return std::nullopt;
        }
    }
    return kept;
}

std::string HexText(int64_t value) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    auto rest = static_cast<uint64_t>(value);
    std::string text;
    do {
        text.insert(text.begin(), Digits[rest % 16]);
        rest /= 16;
    } while (rest != 0);
    return text;
}

TConverterEdit::TConverterEdit(QString allowedKeys, int maxLength, bool upperCase, QWidget* parent)
    : QLineEdit(parent), m_allowed(std::move(allowedKeys)), m_limit(maxLength) {
    setValidator(new TLimitValidator(maxLength, upperCase, this));
}

void TConverterEdit::PasteLimited() {
    const QString clip = QGuiApplication::clipboard()->text();
    const qsizetype room = m_limit - (text().size() - selectedText().size());
    if (clip.isEmpty() || room <= 0) {
        return;
    }
    insert(clip.left(room));
}

bool TConverterEdit::event(QEvent* event) {
    // The line edit claims Ctrl+X, C, V, Z and A for itself; the converter's menu owns them,
    // so a paste is cut to the limit instead of being refused whole.
    if (event->type() == QEvent::ShortcutOverride &&
        (static_cast<QKeyEvent*>(event)->modifiers() & Qt::ControlModifier)) {
        return QWidget::event(event);
    }
    return QLineEdit::event(event);
}

void TConverterEdit::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    // Keys that type nothing (arrows, Home, End, Delete) move or delete as usual, and so
    // does backspace.
    if (typed.isEmpty() || event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    const bool control = (event->modifiers() & Qt::ControlModifier) != 0;
    if (!control && typed.size() == 1 && m_allowed.contains(typed.front())) {
        if (text().size() - selectedText().size() < m_limit) {
            QLineEdit::keyPressEvent(event);
        } else {
            event->accept();
        }
        return;
    }
    event->accept();
    QApplication::beep();
}

THexDecForm::THexDecForm(TUiPrompter& prompter, QWidget* parent)
    : QDialog(parent, FixedDialogFlags()), m_prompter(prompter) {
    setObjectName(QStringLiteral("HexDecForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("HexDecBin Converter"));
    setModal(false);
    SetFormFont(this);
    setFixedSize(ClientWidth, ClientHeight);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(9, 8, 311, 105);
    Label1 = MakeLabel(GroupBox1, "Label1", "Hex:", 11, 22);
    Label2 = MakeLabel(GroupBox1, "Label2", "Dec:", 154, 22);
    Label3 = MakeLabel(GroupBox1, "Label3", "Bin:", 11, 66);
    constexpr int editHeight = 21;
    Edit1 = new TConverterEdit(QStringLiteral(" 0123456789ABCDEFabcdef"), 9, true, GroupBox1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(40, 20, 101, editHeight);
    Edit2 = new TConverterEdit(QStringLiteral(" 0123456789"), 10, false, GroupBox1);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setGeometry(182, 20, 116, editHeight);
    Edit3 = new TConverterEdit(QStringLiteral(" 01"), 45, false, GroupBox1);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    Edit3->setGeometry(40, 65, 258, editHeight);

    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(263, 121, 57, 22);
    Button2->setAutoDefault(false);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    auto item = [this](const char* name, const char* caption, QKeySequence key) {
        QAction* a = PopupMenu1->addAction(QString::fromLatin1(caption));
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcut(key);
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(a);
        return a;
    };
    N1 = item("N1", "cut", QKeySequence(Qt::CTRL | Qt::Key_X));
    N2 = item("N2", "copy", QKeySequence(Qt::CTRL | Qt::Key_C));
    N3 = item("N3", "paste", QKeySequence(Qt::CTRL | Qt::Key_V));
    undo1 = item("undo1", "undo", QKeySequence(Qt::CTRL | Qt::Key_Z));
    selectAll1 = item("selectAll1", "selectAll", QKeySequence(Qt::CTRL | Qt::Key_A));
    const auto onFocused = [this](QAction* action, auto work) {
        connect(action, &QAction::triggered, this, [this, work] {
            if (TConverterEdit* edit = FocusedEdit()) {
                work(*edit);
            }
        });
    };
    onFocused(N1, [](TConverterEdit& e) { e.cut(); });
    onFocused(N2, [](TConverterEdit& e) { e.copy(); });
    onFocused(N3, [](TConverterEdit& e) { e.PasteLimited(); });
    onFocused(undo1, [](TConverterEdit& e) { e.undo(); });
    onFocused(selectAll1, [](TConverterEdit& e) { e.selectAll(); });

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(mapToGlobal(pos)); });
    for (TConverterEdit* edit : {Edit1, Edit2, Edit3}) {
        edit->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(edit, &QWidget::customContextMenuRequested, this, [this, edit](const QPoint& pos) {
            edit->setFocus(Qt::PopupFocusReason);
            PopupMenu1->popup(edit->mapToGlobal(pos));
        });
    }

    // Only the user's edits start a conversion; the converter's own writes to the other
    // fields must not start a chain of updates.
    connect(Edit1, &QLineEdit::textEdited, this, &THexDecForm::Edit1Change);
    connect(Edit2, &QLineEdit::textEdited, this, &THexDecForm::Edit2Change);
    connect(Edit3, &QLineEdit::textEdited, this, &THexDecForm::Edit3Change);
}

TConverterEdit* THexDecForm::FocusedEdit() const {
    return qobject_cast<TConverterEdit*>(focusWidget());
}

void THexDecForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        // Below the pointer, kept whole inside the free screen area.
        const QPoint pointer = QCursor::pos();
        PlaceFrame(
            this, KeptInside(QRect(pointer + QPoint(0, 20), FrameSize(this)), FreeAreaAt(pointer)));
    }
    QDialog::showEvent(event);
}

void THexDecForm::Refuse(TConverterEdit* edit, const char* message) {
    QApplication::beep();
    m_prompter.Warning(this, QString::fromLatin1(message), QStringLiteral("HexDecBin"));
    edit->clear();
    // An empty field leaves nothing for the other two to show.
    for (TConverterEdit* other : {Edit1, Edit2, Edit3}) {
        if (other != edit) {
            other->clear();
        }
    }
}

void THexDecForm::Edit1Change() {
    const std::optional<std::string> digits = ConverterDigits(Latin1(Edit1->text()), HexDigits);
    if (!digits) {
        Refuse(Edit1, "What you input is not Hex.");
        return;
    }
    if (digits->empty()) {
        Edit2->clear();
        Edit3->clear();
        return;
    }
    Edit2->setText(QString::number(ReadDigits(*digits, 16)));
    Edit3->setText(FromLatin1(HexToBinGroups(*digits)));
}

void THexDecForm::Edit2Change() {
    const std::optional<std::string> digits = ConverterDigits(Latin1(Edit2->text()), DecDigits);
    if (!digits) {
        Refuse(Edit2, "What you input is not dec.");
        return;
    }
    if (digits->empty()) {
        Edit1->clear();
        Edit3->clear();
        return;
    }
    const std::string hex = HexText(ReadDigits(*digits, 10));
    Edit1->setText(FromLatin1(hex));
    Edit3->setText(FromLatin1(HexToBinGroups(hex)));
}

void THexDecForm::Edit3Change() {
    const std::optional<std::string> digits = ConverterDigits(Latin1(Edit3->text()), BinDigits);
    if (!digits) {
        Refuse(Edit3, "What you input is not bin.");
        return;
    }
    if (digits->empty()) {
        Edit1->clear();
        Edit2->clear();
        return;
    }
    const int64_t value = BinToInt64(*digits);
    Edit2->setText(QString::number(value));
    Edit1->setText(FromLatin1(HexText(value)));
}

THexDecForm* InstallHexDecForm(TMainContext& form, TUiPrompter& prompter) {
    auto* converter = new THexDecForm(prompter, form.MainWindow());
    form.ShowConverter = [converter] {
        converter->show();
        converter->raise();
        converter->activateWindow();
    };
    return converter;
}
