#include "ui/send/SetForm.h"

#include "ui/main/FormStyle.h"
#include "ui/main/ScreenFit.h"

#include "codec/HexCodec.h"
#include "settings/SettingsFile.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCursor>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QTableWidget>
#include <QTime>
#include <QTimeEdit>
#include <array>

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

namespace {

constexpr int EditHeight = 21;
constexpr int ButtonWidth = 68;
constexpr int ButtonHeight = 25;
constexpr int GridRows = 11; // one header row and the ten rows of the trigger list
constexpr int GridRowHeight = 18;
constexpr int GridColumnWidths[] = {38, 52, 49};
constexpr int SecondsPerDay = 86400;

QLabel* MakeLabel(QWidget* parent, const char* text, int x, int y) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->adjustSize();
    label->move(x, y);
    return label;
}

template <class T>
T* MakeButton(QWidget* parent, const char* name, const char* text, int x, int y) {
    auto* button = Named(new T(QString::fromLatin1(text), parent), name);
    button->adjustSize();
    button->move(x, y);
    return button;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name) {
    // Every edit starts with "0", so an untouched field always converts.
    return Named(new QLineEdit(QStringLiteral("0"), parent), name);
}

QPushButton* MakePushButton(QWidget* parent, const char* name, const char* text, int x, int y) {
    auto* button = Named(new QPushButton(QString::fromLatin1(text), parent), name);
    button->setGeometry(x, y, ButtonWidth, ButtonHeight);
    // Enter in a field must not confirm the dialog behind the user's back.
    button->setAutoDefault(false);
    return button;
}

// Labels such as "From              to" leave blanks where their edits sit; the edits are
// placed over those blanks as the font measures them, so the words never run under an edit.
void PlaceInGap(const QLabel* label, const QString& before, QLineEdit* edit) {
    const QFontMetrics metrics = label->fontMetrics();
    const QString text = label->text();
    const int gapStart = metrics.horizontalAdvance(before);
    qsizetype i = before.size();
    while (i < text.size() && text.at(i) == QLatin1Char(' ')) {
        ++i;
    }
    const int gapEnd = metrics.horizontalAdvance(text.left(i));
    const int top = label->y() - (EditHeight - label->height()) / 2;
    edit->setGeometry(label->x() + gapStart + 2, top, std::max(24, gapEnd - gapStart - 4),
                      EditHeight);
}

void PlaceAfter(const QLabel* label, QLineEdit* edit, int width) {
    const int top = label->y() - (EditHeight - label->height()) / 2;
    edit->setGeometry(label->x() + label->fontMetrics().horizontalAdvance(label->text()) + 4, top,
                      width, EditHeight);
}

QButtonGroup* Pair(QObject* owner, QRadioButton* first, QRadioButton* second) {
    auto* group = new QButtonGroup(owner);
    group->setExclusive(true);
    group->addButton(first);
    group->addButton(second);
    return group;
}

QString Unsigned(int32_t value) {
    return QString::number(static_cast<uint32_t>(value));
}

int32_t ReadInt(const QLineEdit* edit) {
    return TSetForm::StrToInt(edit->text().toLatin1().toStdString());
}

// Intervals and delays: a negative number would be stored as a wait of about 49 days, so it
// is refused like text that is no number.
uint32_t ReadDuration(const QLineEdit* edit) {
    const std::string text = edit->text().toLatin1().toStdString();
    const int32_t value = TSetForm::StrToInt(text);
    if (value < 0) {
        throw EConvertError("'" + text +
                            "' is out of range: enter milliseconds from 0 to 2147483647.");
    }
    return static_cast<uint32_t>(value);
}

QTableWidgetItem* FixedCell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    item->setBackground(QGuiApplication::palette().button());
    return item;
}

void CorrectLine(int32_t& line) {
    if (line == 0) {
        line = 1;
    }
}

void CorrectInterval(uint32_t& interval) {
    if (interval < 20) {
        interval = 20;
    }
}

// The trigger time field. Digits go where the user means them: with the whole text selected
// the typing fills hours, minutes and seconds in turn ("21:45:30" or "214530"); inside one
// field the typing replaces that field. A field moves on by itself once it is full or once
// no further digit could make a valid value, and ":" moves on from a field typed in part.
class TTimeField : public QTimeEdit {
public:
    explicit TTimeField(QWidget* parent) : QTimeEdit(parent) {
        setDisplayFormat(QStringLiteral("HH:mm:ss"));
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (IsModifierKey(event->key())) {
            // Shift pressed on its own for the ":" (or a digit on some layouts) types
            // nothing: the typing goes on where it was.
            QTimeEdit::keyPressEvent(event);
            return;
        }
        const QString text = event->text();
        const bool digit = text.size() == 1 && text.at(0).isDigit();
        const bool colon = text == QLatin1String(":");
        if ((!digit && !colon) ||
            (event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) != 0) {
            m_digits = 0;
            m_justMoved = false;
            QTimeEdit::keyPressEvent(event);
            return;
        }
        event->accept();
        if (lineEdit()->hasSelectedText() && lineEdit()->selectedText() == lineEdit()->text()) {
            // All of it selected: what is typed is the whole time.
            m_parts = {0, 0, 0};
            m_part = 0;
            m_digits = 0;
            m_justMoved = false;
        } else if (m_digits == 0 && !m_justMoved) {
            m_parts = {time().hour(), time().minute(), time().second()};
            m_part = PartOf(currentSection());
        }
        if (colon) {
            if (m_justMoved && m_digits == 0) {
                m_justMoved = false; // the field already moved on by itself
            } else {
                MoveOn();
            }
            Show();
            return;
        }
        const int value = text.at(0).digitValue();
        int& part = m_parts[static_cast<size_t>(m_part)];
        part = m_digits == 0 ? value : part * 10 + value;
        ++m_digits;
        const int limit = m_part == 0 ? 23 : 59;
        if (part > limit) {
            part = value;
            m_digits = 1;
        }
        m_justMoved = false;
        if (m_digits == 2 || part * 10 > limit) {
            MoveOn();
            m_justMoved = true;
        }
        Show();
    }

    void focusInEvent(QFocusEvent* event) override {
        m_digits = 0;
        m_justMoved = false;
        QTimeEdit::focusInEvent(event);
    }

    void mousePressEvent(QMouseEvent* event) override {
        m_digits = 0;
        m_justMoved = false;
        QTimeEdit::mousePressEvent(event);
    }

private:
    static bool IsModifierKey(int key) {
        switch (key) {
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_AltGr:
        case Qt::Key_Meta:
        case Qt::Key_CapsLock:
        case Qt::Key_NumLock:
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
            return true;
        default:
            return false;
        }
    }

    static int PartOf(Section section) {
        switch (section) {
        case MinuteSection:
            return 1;
        case SecondSection:
            return 2;
        default:
            return 0;
        }
    }

    void MoveOn() {
        m_digits = 0;
        m_part = std::min(m_part + 1, 2);
    }

    void Show() {
        setTime(QTime(m_parts[0], m_parts[1], m_parts[2]));
        static constexpr Section order[] = {HourSection, MinuteSection, SecondSection};
        setSelectedSection(order[m_part]);
    }

    std::array<int, 3> m_parts{};
    int m_part = 0;
    int m_digits = 0;
    bool m_justMoved = false;
};

} // namespace

TSetForm::TSetForm(SettingsRecord& settings, Hooks hooks, QWidget* parent)
    : QDialog(parent, FixedDialogFlags()), m_settings(settings), m_hooks(std::move(hooks)) {
    setObjectName(QStringLiteral("SetForm"));
    KeepWholeOnScreen(this);
    setWindowTitle(QStringLiteral("Settings"));
    setModal(false);
    SetFormFont(this);

    Panel1 = Named(new QWidget(this), "Panel1");
    Panel1->setGeometry(0, 0, CyclePageWidth, CyclePageHeight);
    Panel3 = Named(new QWidget(this), "Panel3");
    Panel3->setGeometry(0, 0, TriggerPageWidth, TriggerPageHeight);
    BuildCyclePage();
    BuildTriggerPage();
    ShowPage(true);
}

void TSetForm::BuildCyclePage() {
    GroupBox1 = Named(new QGroupBox(Panel1), "GroupBox1");
    GroupBox1->setGeometry(8, 4, 270, 142);

    RadioButton1 = MakeButton<QRadioButton>(GroupBox1, "RadioButton1", "Send Line:", 12, 18);
    RadioButton4 = MakeButton<QRadioButton>(GroupBox1, "RadioButton4", "This Line", 110, 18);
    RadioButton5 = MakeButton<QRadioButton>(GroupBox1, "RadioButton5", "Fixed Line:", 110, 46);
    Edit2 = MakeEdit(GroupBox1, "Edit2");
    Edit2->setGeometry(196, 44, 56, EditHeight);
    RadioButton2 = MakeButton<QRadioButton>(GroupBox1, "RadioButton2", "Range: ", 12, 82);
    QLabel* range = MakeLabel(GroupBox1, "From              to", 110, 84);
    Edit3 = MakeEdit(GroupBox1, "Edit3");
    PlaceInGap(range, QStringLiteral("From"), Edit3);
    Edit4 = MakeEdit(GroupBox1, "Edit4");
    PlaceAfter(range, Edit4, 56);
    QLabel* interval = MakeLabel(GroupBox1, "Send Interval:                   ms  (>19)", 12, 116);
    Edit10 = MakeEdit(GroupBox1, "Edit10");
    PlaceInGap(interval, QStringLiteral("Send Interval:"), Edit10);
    Pair(this, RadioButton1, RadioButton2);
    Pair(this, RadioButton4, RadioButton5);

    CheckBox1 = MakeButton<QCheckBox>(Panel1, "CheckBox1", " Enable", 16, 160);
    Button3 = MakePushButton(Panel1, "Button3", "Ok", 122, 156);
    Button4 = MakePushButton(Panel1, "Button4", "Cancel", 204, 156);

    connect(RadioButton1, &QRadioButton::toggled, this, [this] { ApplyCycleEnabling(); });
    connect(Button3, &QPushButton::clicked, this, [this] { OkClicked(); });
    connect(Button4, &QPushButton::clicked, this, [this] { CancelClicked(); });
}

void TSetForm::BuildTriggerPage() {
    GroupBox2 = Named(new QGroupBox(QStringLiteral("Timing Trigger"), Panel3), "GroupBox2");
    GroupBox2->setGeometry(8, 4, 168, 292);

    QLabel* time = MakeLabel(GroupBox2, "Trigger Time:", 8, 26);
    DateTimePicker1 = Named(new TTimeField(GroupBox2), "DateTimePicker1");
    DateTimePicker1->setGeometry(time->x() + time->width() + 6, 22, 80, EditHeight);
    RadioButton3 = MakeButton<QRadioButton>(GroupBox2, "RadioButton3", "Send Line:", 8, 54);
    RadioButton6 = MakeButton<QRadioButton>(GroupBox2, "RadioButton6", "This Line", 22, 78);
    RadioButton7 = MakeButton<QRadioButton>(GroupBox2, "RadioButton7", "Fixed Line:", 22, 102);
    Edit6 = MakeEdit(GroupBox2, "Edit6");
    Edit6->setGeometry(108, 100, 50, EditHeight);
    RadioButton8 = MakeButton<QRadioButton>(GroupBox2, "RadioButton8", "Range:", 8, 132);
    QLabel* range = MakeLabel(GroupBox2, "From               to", 22, 160);
    Edit7 = MakeEdit(GroupBox2, "Edit7");
    PlaceInGap(range, QStringLiteral("From"), Edit7);
    Edit8 = MakeEdit(GroupBox2, "Edit8");
    PlaceAfter(range, Edit8, 44);
    QLabel* interval = MakeLabel(GroupBox2, "Send Interval:             ms(>19)", 8, 196);
    Edit9 = MakeEdit(GroupBox2, "Edit9");
    PlaceInGap(interval, QStringLiteral("Send Interval:"), Edit9);
    CheckBox2 = MakeButton<QCheckBox>(GroupBox2, "CheckBox2", "Enable", 8, 264);
    Pair(this, RadioButton3, RadioButton8);
    Pair(this, RadioButton6, RadioButton7);

    GroupBox3 = Named(new QGroupBox(QStringLiteral("Receive Trigger"), Panel3), "GroupBox3");
    GroupBox3->setGeometry(182, 4, 165, 292);
    MakeLabel(GroupBox3, "Trigger List", 8, 20);

    StringGrid2 = Named(new QTableWidget(GridRows, 3, GroupBox3), "StringGrid2");
    StringGrid2->horizontalHeader()->hide();
    StringGrid2->verticalHeader()->hide();
    StringGrid2->horizontalHeader()->setMinimumSectionSize(1);
    StringGrid2->verticalHeader()->setMinimumSectionSize(1);
    StringGrid2->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid2->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid2->verticalHeader()->setDefaultSectionSize(GridRowHeight);
    int gridWidth = 0;
    for (int c = 0; c < 3; ++c) {
        StringGrid2->setColumnWidth(c, GridColumnWidths[c]);
        gridWidth += GridColumnWidths[c];
    }
    for (int r = 0; r < GridRows; ++r) {
        StringGrid2->setRowHeight(r, GridRowHeight);
    }
    StringGrid2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StringGrid2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // "Trig.Line" fills its narrow column to the pixel; an ellipsis would hide it.
    StringGrid2->setTextElideMode(Qt::ElideNone);
    StringGrid2->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid2->setSelectionBehavior(QAbstractItemView::SelectItems);
    StringGrid2->setEditTriggers(QAbstractItemView::DoubleClicked |
                                 QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    StringGrid2->setItem(0, 0, FixedCell(QStringLiteral("Items")));
    StringGrid2->setItem(0, 1, FixedCell(QStringLiteral("Rec.Line")));
    StringGrid2->setItem(0, 2, FixedCell(QStringLiteral("Trig.Line")));
    for (int r = 1; r < GridRows; ++r) {
        StringGrid2->setItem(r, 0, FixedCell(QString::number(r)));
        StringGrid2->setItem(r, 1, new QTableWidgetItem);
        StringGrid2->setItem(r, 2, new QTableWidgetItem);
    }
    const int frame = StringGrid2->frameWidth();
    StringGrid2->setGeometry(8, 38, gridWidth + 2 * frame, GridRows * GridRowHeight + 2 * frame);

    QLabel* delay = MakeLabel(GroupBox3, "Trigger Delay:               ms", 8,
                              StringGrid2->y() + StringGrid2->height() + 10);
    Edit1 = MakeEdit(GroupBox3, "Edit1");
    PlaceInGap(delay, QStringLiteral("Trigger Delay:"), Edit1);
    CheckBox3 = MakeButton<QCheckBox>(GroupBox3, "CheckBox3", "Enable", 8, 264);

    Button1 = MakePushButton(Panel3, "Button1", "Ok", 198, 304);
    Button2 = MakePushButton(Panel3, "Button2", "Cancel", 278, 304);
    connect(Button1, &QPushButton::clicked, this, [this] { OkClicked(); });
    connect(Button2, &QPushButton::clicked, this, [this] { CancelClicked(); });
}

void TSetForm::ShowPage(bool cycle) {
    Panel1->setVisible(cycle);
    Panel3->setVisible(!cycle);
    if (cycle) {
        setFixedSize(CyclePageWidth, CyclePageHeight);
    } else {
        setFixedSize(TriggerPageWidth, TriggerPageHeight);
    }
}

void TSetForm::ShowCyclePage(bool setCaption) {
    if (setCaption) {
        setWindowTitle(QStringLiteral("Cycle to Send data"));
    }
    ShowPage(true);
    show();
    raise();
    activateWindow();
}

void TSetForm::ShowTriggerPage(bool setCaption) {
    if (setCaption) {
        setWindowTitle(QStringLiteral("Send data conditionally"));
    }
    ShowPage(false);
    show();
    raise();
    activateWindow();
}

void TSetForm::showEvent(QShowEvent* event) {
    // A window restored from the task bar is not shown anew: the user's unsaved edits stay.
    if (!event->spontaneous()) {
        const QPoint pointer = QCursor::pos();
        ::PlaceAtPointer(this, pointer);
        LoadControls();
    }
    QDialog::showEvent(event);
}

QPoint TSetForm::PlaceAtPointer(QPoint pointer, QSize dialog, QRect screen) {
    return FrameAtPointer(pointer, dialog, screen).topLeft();
}

void TSetForm::LoadControls() {
    const SettingsRecord& s = m_settings;

    RadioButton1->setChecked(!s.cycleUseRange);
    RadioButton2->setChecked(s.cycleUseRange);
    RadioButton4->setChecked(s.cycleThisLine);
    RadioButton5->setChecked(!s.cycleThisLine);
    Edit2->setText(Unsigned(s.cycleFixedLine));
    Edit3->setText(Unsigned(s.cycleRangeFrom));
    Edit4->setText(Unsigned(s.cycleRangeTo));
    Edit10->setText(QString::number(s.cycleInterval));
    CheckBox1->setChecked(s.cycleSendEnabled);
    ApplyCycleEnabling();

    DateTimePicker1->setTime(
        QTime::fromMSecsSinceStartOfDay(SecondsOfDay(s.timingTriggerTime) * 1000));
    RadioButton3->setChecked(!s.timingUseRange);
    RadioButton8->setChecked(s.timingUseRange);
    RadioButton6->setChecked(s.timingThisLine);
    RadioButton7->setChecked(!s.timingThisLine);
    Edit6->setText(Unsigned(s.timingFixedLine));
    Edit7->setText(Unsigned(s.timingRangeFrom));
    Edit8->setText(Unsigned(s.timingRangeTo));
    Edit9->setText(QString::number(s.timingInterval));
    CheckBox2->setChecked(s.timingTriggerEnabled);

    for (int r = 1; r < GridRows; ++r) {
        const ReceiveTriggerRow& row = s.receiveTriggers[static_cast<size_t>(r - 1)];
        const bool used = row.recLine != 0;
        StringGrid2->item(r, 1)->setText(used ? Unsigned(row.recLine) : QString());
        StringGrid2->item(r, 2)->setText(used ? Unsigned(row.trigLine) : QString());
    }
    Edit1->setText(QString::number(s.receiveTriggerDelay));
    CheckBox3->setChecked(s.receiveTriggerEnabled);
}

void TSetForm::ApplyCycleEnabling() {
    const bool oneLine = RadioButton1->isChecked();
    RadioButton4->setEnabled(oneLine);
    RadioButton5->setEnabled(oneLine);
    Edit2->setEnabled(oneLine);
    Edit3->setEnabled(!oneLine);
    Edit4->setEnabled(!oneLine);
}

// Field by field in the dialog's order: a field that does not convert stops the store there,
// and the fields before it keep their new values.
void TSetForm::StoreControls() {
    SettingsRecord& s = m_settings;

    s.cycleUseRange = !RadioButton1->isChecked();
    s.cycleThisLine = RadioButton4->isChecked();
    s.cycleSendEnabled = CheckBox1->isChecked();
    if (m_hooks.setCycleButtonDown) {
        m_hooks.setCycleButtonDown(s.cycleSendEnabled);
    }
    s.cycleFixedLine = ReadInt(Edit2);
    s.cycleRangeFrom = ReadInt(Edit3);
    s.cycleRangeTo = ReadInt(Edit4);
    s.cycleInterval = ReadDuration(Edit10);
    CorrectLine(s.cycleFixedLine);
    CorrectLine(s.cycleRangeFrom);
    CorrectLine(s.cycleRangeTo);
    CorrectInterval(s.cycleInterval);

    s.timingTriggerEnabled = CheckBox2->isChecked();
    s.timingTriggerTime =
        WithTimeOfDay(s.timingTriggerTime, DateTimePicker1->time().msecsSinceStartOfDay() / 1000);
    s.timingUseRange = !RadioButton3->isChecked();
    s.timingThisLine = RadioButton6->isChecked();
    s.timingFixedLine = ReadInt(Edit6);
    s.timingRangeFrom = ReadInt(Edit7);
    s.timingRangeTo = ReadInt(Edit8);
    s.timingInterval = ReadDuration(Edit9);
    CorrectLine(s.timingFixedLine);
    CorrectLine(s.timingRangeFrom);
    CorrectLine(s.timingRangeTo);
    CorrectInterval(s.timingInterval);

    s.receiveTriggerEnabled = CheckBox3->isChecked();
    for (int r = 1; r < GridRows; ++r) {
        ReceiveTriggerRow& row = s.receiveTriggers[static_cast<size_t>(r - 1)];
        const QString recText = StringGrid2->item(r, 1)->text();
        const QString trigText = StringGrid2->item(r, 2)->text();
        row.recLine = recText.isEmpty() ? 0 : StrToInt(recText.toLatin1().toStdString());
        if (trigText.isEmpty()) {
            // A pattern without a line to answer with is no trigger at all.
            row.trigLine = 0;
            row.recLine = 0;
        } else {
            row.trigLine = StrToInt(trigText.toLatin1().toStdString());
        }
    }
    s.receiveTriggerDelay = ReadDuration(Edit1);
}

bool TSetForm::OkClicked() {
    try {
        StoreControls();
        if (m_hooks.saveSettings) {
            m_hooks.saveSettings(m_settings);
        } else {
            SaveSettingsNow(m_settings);
        }
        if (m_hooks.refreshSettings) {
            m_hooks.refreshSettings();
        }
    } catch (const std::exception& e) {
        if (!m_hooks.reportError) {
            throw;
        }
        m_hooks.reportError(e.what());
        return false;
    }
    accept();
    return true;
}

void TSetForm::CancelClicked() {
    reject();
}

int32_t TSetForm::StrToInt(const std::string& text) {
    const auto fail = [&text]() -> int32_t {
        throw EConvertError("'" + text + "' is not a valid integer value");
    };
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) {
        return fail();
    }
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return fail();
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFull) {
            return fail();
        }
    }
    if (negative) {
        if (value > 0x80000000ull) {
            return fail();
        }
        return static_cast<int32_t>(-static_cast<int64_t>(value));
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int TSetForm::SecondsOfDay(double dateTime) {
    if (!std::isfinite(dateTime)) {
        return 0;
    }
    double whole = 0.0;
    const double fraction = std::fabs(std::modf(dateTime, &whole));
    // Rounded to the millisecond first, like the time trigger, so both agree on the second.
    auto ms = static_cast<int64_t>(std::llround(fraction * 86400000.0));
    if (ms >= 86400000) {
        ms = 0;
    }
    return static_cast<int>(ms / 1000);
}

double TSetForm::WithTimeOfDay(double stored, int secondsOfDay) {
    double whole = 0.0;
    if (std::isfinite(stored)) {
        std::modf(stored, &whole);
    }
    const double fraction = static_cast<double>(secondsOfDay) / SecondsPerDay;
    // Before 1899-12-30 the fraction still counts forward from midnight.
    return std::signbit(stored) && std::isfinite(stored) ? whole - fraction : whole + fraction;
}
