#pragma once
// The hexadecimal/decimal/binary converter: three linked fields; what the user types into
// one of them is shown at once in the other two. Values are computed in signed 64 bits.

#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <optional>
#include <string>
#include <string_view>

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class TMainContext;
class TUiPrompter;

// A field of the converter: only its own characters can be typed, and its length limit
// holds for typing and pasting but not for what the converter writes into it.
class TConverterEdit : public QLineEdit {
    Q_OBJECT
public:
    TConverterEdit(QString allowedKeys, int maxLength, bool upperCase, QWidget* parent);

    // Pastes as much of the clipboard as fits in the limit.
    void PasteLimited();
    int Limit() const { return m_limit; }

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString m_allowed;
    int m_limit;
};

class THexDecForm : public QDialog {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 332;
    static constexpr int ClientHeight = 154;

    THexDecForm(TUiPrompter& prompter, QWidget* parent = nullptr);

    // The user changed a field: the other two follow, or the field is refused.
    void Edit1Change();
    void Edit2Change();
    void Edit3Change();

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    TConverterEdit* Edit1 = nullptr; // Hex
    TConverterEdit* Edit2 = nullptr; // Dec
    TConverterEdit* Edit3 = nullptr; // Bin
    QPushButton* Button2 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction *N1 = nullptr, *N2 = nullptr, *N3 = nullptr, *undo1 = nullptr, *selectAll1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    TConverterEdit* FocusedEdit() const;
    // Beeps, shows the message and empties the field, which empties the other two as well.
    void Refuse(TConverterEdit* edit, const char* message);

    TUiPrompter& m_prompter;
};

// The digits of a field with its blanks removed, or nothing when a character outside
// `digits` remains. A field of blanks only has no digits and counts as empty.
std::optional<std::string> ConverterDigits(std::string_view text, std::string_view digits);
// Upper-case hexadecimal without leading zeros ("0" for 0).
std::string HexText(int64_t value);

// Creates the converter as a child of the main window and hooks it to the
// "HexDecBin Converter" command (ShowConverter).
THexDecForm* InstallHexDecForm(TMainContext& form, TUiPrompter& prompter);
