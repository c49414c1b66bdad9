// View > Check Received Checksum: received hex lines of a real pseudo-terminal checked with
// the computation chosen in its own submenu, good ones and a damaged one; that choice and
// the send window's checksum button independent of each other; the text and its saved
// RTF the same with the check on; ASCII receive mode and sent lines left alone; the choice
// kept in config.ini. Offscreen platform, a private data folder per test.

#include "codec/HexCodec.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/main/ComComboBox.h"
#include "ui/main/DockLayout.h"
#include "ui/main/MainForm.h"
#include "ui/main/RichView.h"
#include "ui/send/SendForm.h"

#include <QAction>
#include <QFile>
#include <QHelpEvent>
#include <QImage>
#include <QMenu>
#include <QTest>
#include <QToolTip>

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Outcome = TReceivedChecksum::Outcome;

constexpr int32_t kModbusCrc16 = 5; // checksumKind of the send window's "Modbus -CRC16"

class ReceivedChecksumTest : public MainWindowTest {
protected:
    void Created(TMainForm& form) override { form.resize(900, 600); }

    // Writes one burst to the peer side and waits until the view shows it as line `line`.
    static void Receive(int peer, const std::string& bytes, RichView& view, int line) {
        ASSERT_EQ(::write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return view.LineCount() > line; }, 5000))
            << view.LineCount();
    }
};

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

std::string HexOf(const std::string& bytes) {
    return BytesToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), " ");
}

// A frame with its Modbus CRC (low byte first).
std::string WithCrc(const std::string& data) {
    const std::string crc = ChecksumText(HexOf(data), ChecksumAlgorithm::Crc16Modbus);
    return data + static_cast<char>(std::stoi(crc.substr(0, 2), nullptr, 16)) +
           static_cast<char>(std::stoi(crc.substr(3, 2), nullptr, 16));
}

// Pixels of the view in the good and the bad colour's hue (text is anti-aliased).
struct Hues {
    int green = 0;
    int red = 0;
    QPoint firstRed{-1, -1};
};

Hues CountHues(const QImage& image) {
    Hues h;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.green() > 110 && c.red() < 70 && c.blue() < 70) {
                ++h.green;
            } else if (c.red() > 170 && c.green() < 70 && c.blue() < 70) {
                if (h.red++ == 0) {
                    h.firstRed = QPoint(x, y);
                }
            }
        }
    }
    return h;
}

// The item of View > Checksum to Check named `name`.
QAction* CheckKind(TMainForm& form, const char* name) {
    for (QAction* a : form.CheckReceivedKinds) {
        if (a->text() == QLatin1String(name)) {
            return a;
        }
    }
    ADD_FAILURE() << "no item " << name;
    return form.CheckReceivedKinds.front();
}

QImage Shot(RichView& view) {
    view.FlushPaint();
    return view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

TEST_F(ReceivedChecksumTest, RepliesOfTheSimulatedDeviceAreAllGoodWithTheChosenComputation) {
    StartPortsim();
    TMainForm& form = Start();
    OpenPort(form, "SIM0");
    RichView& show = *form.RichShow;
    form.CheckReceived2->trigger();
    ASSERT_TRUE(show.ReceivedCheck().has_value());
    EXPECT_STREQ(show.ReceivedCheck()->name, "SUM"); // the record's default choice
    EXPECT_TRUE(CheckKind(form, "SUM")->isChecked());

    // Choosing Modbus-CRC16 in the send window appends it to the request and leaves the
    // view's check alone.
    RichView& send = *form.SendForm->RichSend;
    send.Clear();
    const std::string more = WithCrc(Bytes({0x01, 0x03, 0x00, 0x04, 0x00, 0x02}));
    const std::string single = WithCrc(Bytes({0x01, 0x03, 0x00, 0x09, 0x00, 0x01}));
    send.InsertText("01 03 00 00 00 0A\r\n" + HexOf(more) + "\r\n" + HexOf(single),
                    TextAttributes{});
    send.SetCaret(0, 0);
    form.SendForm->ChecksumActions[kModbusCrc16]->trigger();
    ASSERT_EQ(send.LineText(0), "01 03 00 00 00 0A C5 CD");
    ASSERT_TRUE(show.ReceivedCheck().has_value());
    EXPECT_STREQ(show.ReceivedCheck()->name, "SUM");

    // Choosing it for the check changes the check and nothing in the send window, also on
    // a line that has no checksum yet.
    const StyledText sendText = send.ToStyledText();
    send.SetCaret(1, 3);
    CheckKind(form, "Modbus-CRC16")->trigger();
    ASSERT_TRUE(show.ReceivedCheck().has_value());
    EXPECT_STREQ(show.ReceivedCheck()->name, "Modbus-CRC16");
    EXPECT_TRUE(CheckKind(form, "Modbus-CRC16")->isChecked());
    EXPECT_FALSE(CheckKind(form, "SUM")->isChecked());
    EXPECT_EQ(send.ToStyledText(), sendText);
    EXPECT_EQ(form.Settings().checksumKind, kModbusCrc16);

    // Each request shows as a sent line, its reply as the next line.
    form.Settings().showSending = true;
    form.RefreshSettings();
    for (int line = 0; line < 3; ++line) {
        form.DataRT()->SendLine(static_cast<uint32_t>(line));
        ASSERT_TRUE(QTest::qWaitFor([&] { return show.LineCount() == 2 * line + 2; }, 5000))
            << line;
    }
    for (int line = 0; line < 6; line += 2) {
        EXPECT_EQ(show.CheckOfLine(line).outcome, Outcome::Unchecked) << show.LineText(line);
        const TReceivedChecksum check = show.CheckOfLine(line + 1);
        EXPECT_EQ(check.outcome, Outcome::Good) << show.LineText(line + 1);
        EXPECT_TRUE(show.LineText(line + 1).ends_with(check.expected)) << show.LineText(line + 1);
    }
    // Green checksums and no mark; the sent lines keep their own colour.
    show.clearFocus();
    const Hues on = CountHues(Shot(show));
    form.CheckReceived2->trigger();
    const Hues off = CountHues(Shot(show));
    EXPECT_GT(on.green, off.green);
    EXPECT_EQ(on.red, off.red);
}

TEST_F(ReceivedChecksumTest, AFlippedBitIsMarkedBadOnTheScreenOnly) {
    const int peer = RegisterPty("DEV");
    TMainForm& form = Start();
    CheckKind(form, "Modbus-CRC16")->trigger(); // chosen, and with that on
    ASSERT_TRUE(form.CheckReceived2->isChecked());
    form.CheckReceived2->trigger();
    OpenPort(form, "DEV");
    RichView& show = *form.RichShow;

    const std::string good = WithCrc(Bytes({0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02}));
    std::string damaged = good;
    damaged[4] = static_cast<char>(damaged[4] ^ 0x10);
    Receive(peer, good, show, 0);
    Receive(peer, damaged, show, 1);
    Receive(peer, Bytes({0x01, 0x83}), show, 2); // shorter than a CRC and a byte
    show.clearFocus();                           // no caret in the pictures
    ASSERT_FALSE(show.hasFocus());

    // Off: nothing checked, nothing coloured; the picture and the saved file of today.
    EXPECT_EQ(show.CheckOfLine(1).outcome, Outcome::Unchecked);
    const QImage before = Shot(show);
    EXPECT_EQ(CountHues(before).red, 0);
    const StyledText text = show.ToStyledText();
    const std::string offFile = Root() + "/off";
    m_prompter.fileNames = {QString::fromStdString(offFile)};
    form.SaveFile(&show);

    form.CheckReceived1->trigger(); // the view tool bar's drop-down
    EXPECT_TRUE(form.CheckReceived2->isChecked());
    EXPECT_EQ(show.CheckOfLine(0).outcome, Outcome::Good);
    const TReceivedChecksum bad = show.CheckOfLine(1);
    EXPECT_EQ(bad.outcome, Outcome::Bad);
    const std::string data = HexOf(damaged.substr(0, damaged.size() - 2));
    EXPECT_EQ(bad.expected, ChecksumText(data, ChecksumAlgorithm::Crc16Modbus));
    EXPECT_EQ(show.CheckOfLine(2).outcome, Outcome::Unchecked);

    // The checksum bytes coloured, a mark after the damaged line, and the mark's tool tip
    // names the computation and the expected value.
    const QImage on = Shot(show);
    const Hues hues = CountHues(on);
    EXPECT_GT(hues.green, 0);
    ASSERT_GT(hues.red, 0);
    const std::string received = HexOf(damaged.substr(damaged.size() - 2));
    const QString hint =
        QStringLiteral("Checksum bad: Modbus-CRC16 expected %1, received %2")
            .arg(QString::fromStdString(bad.expected), QString::fromStdString(received));
    QPoint mark = hues.firstRed;
    for (int x = hues.firstRed.x(); x < on.width(); ++x) {
        const QColor c = on.pixelColor(x, hues.firstRed.y());
        if (c.red() > 170 && c.green() < 70) {
            mark.setX(x); // the right-most red pixel of that row is the disc's
        }
    }
    QHelpEvent help(QEvent::ToolTip, mark, show.viewport()->mapToGlobal(mark));
    QApplication::sendEvent(show.viewport(), &help);
    EXPECT_EQ(QToolTip::text(), hint);
    EXPECT_EQ(show.ReceivedCheckHintAt(QPoint(mark.x(), 2)).left(14), "Checksum good:");

    // The text, and the file saved from it, are what they were.
    EXPECT_EQ(show.ToStyledText(), text);
    const std::string onFile = Root() + "/on";
    m_prompter.fileNames = {QString::fromStdString(onFile)};
    form.SaveFile(&show);
    EXPECT_EQ(ReadRaw(onFile + ".rtf"), ReadRaw(offFile + ".rtf"));
    EXPECT_FALSE(ReadRaw(onFile + ".rtf").empty());

    // Off again: exactly the picture of before.
    form.CheckReceived2->trigger();
    EXPECT_EQ(Shot(show), before);
}

TEST_F(ReceivedChecksumTest, OnlyLinesReceivedInHexAreChecked) {
    const int peer = RegisterPty("DEV");
    TMainForm& form = Start();
    SettingsRecord& s = form.Settings();
    s.checksumKind = 0; // SUM: "01 02 03" ends in the sum of what comes before it
    s.asciiReceive = true;
    s.showSending = true;
    form.RefreshSettings();
    form.CheckReceived2->trigger();
    OpenPort(form, "DEV");
    RichView& show = *form.RichShow;

    Receive(peer, "01 02 03", show, 0); // text that reads as good hex
    s.asciiReceive = false;
    form.RefreshSettings();
    Receive(peer, Bytes({0x01, 0x02, 0x03}), show, 1);
    RichView& send = *form.SendForm->RichSend;
    send.Clear();
    send.InsertText("01 02 03", TextAttributes{});
    form.DataRT()->SendLine(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return show.LineCount() > 2; }, 5000));

    EXPECT_TRUE(show.LineText(0).ends_with("] 01 02 03")) << show.LineText(0);
    EXPECT_EQ(show.CheckOfLine(0).outcome, Outcome::Unchecked) << "received as text";
    EXPECT_EQ(show.CheckOfLine(1).outcome, Outcome::Good) << show.LineText(1);
    EXPECT_EQ(show.CheckOfLine(2).outcome, Outcome::Unchecked) << "sent: " << show.LineText(2);
}

TEST_F(ReceivedChecksumTest, TheChoiceIsShownWithAllCommandsAndKeptInConfigIni) {
    TMainForm& form = Start();
    EXPECT_FALSE(form.CheckReceived2->isChecked()); // first start: off
    EXPECT_FALSE(form.RichShow->ReceivedCheck().has_value());
    EXPECT_FALSE(form.CheckReceived1->isVisible());
    EXPECT_FALSE(form.CheckReceived2->isVisible());
    EXPECT_FALSE(form.CheckReceivedKind->menuAction()->isVisible());
    form.AllCommands->trigger();
    EXPECT_TRUE(form.CheckReceived1->isVisible());
    EXPECT_TRUE(form.CheckReceived2->isVisible());
    EXPECT_TRUE(form.CheckReceivedKind->menuAction()->isVisible());

    form.CheckReceived2->trigger();
    CheckKind(form, "CCITT-CRC16")->trigger();
    form.Settings().checksumKind = 3; // XOR for sending, kept in the record
    Restart();
    EXPECT_TRUE(m_form->CheckReceived1->isChecked());
    EXPECT_TRUE(m_form->CheckReceived2->isChecked());
    EXPECT_TRUE(CheckKind(*m_form, "CCITT-CRC16")->isChecked());
    ASSERT_TRUE(m_form->RichShow->ReceivedCheck().has_value());
    EXPECT_STREQ(m_form->RichShow->ReceivedCheck()->name, "CCITT-CRC16");
    EXPECT_EQ(m_form->Settings().checksumKind, 3);
    QFile ini(QString::fromStdString(DataFilePath(LayoutFileName)));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const TAppOptions kept = TAppOptions::Read(TIniFile::Parse(ini.readAll()));
    EXPECT_TRUE(kept.checkReceivedChecksum);
    EXPECT_EQ(kept.receivedChecksum, "CCITT-CRC16");
    ini.close();

    m_form->CheckReceived1->trigger();
    Restart();
    EXPECT_FALSE(m_form->CheckReceived2->isChecked());
    EXPECT_FALSE(m_form->RichShow->ReceivedCheck().has_value());

    // All Commands off hides both switches, so it switches the check off with them, for
    // good: on again, and after a restart, the check stays off.
    m_form->CheckReceived2->trigger();
    ASSERT_TRUE(m_form->RichShow->ReceivedCheck().has_value());
    m_form->AllCommands->trigger();
    EXPECT_FALSE(m_form->CheckReceived2->isVisible());
    EXPECT_FALSE(m_form->CheckReceived1->isChecked());
    EXPECT_FALSE(m_form->CheckReceived2->isChecked());
    EXPECT_FALSE(m_form->RichShow->ReceivedCheck().has_value());
    m_form->AllCommands->trigger();
    EXPECT_FALSE(m_form->CheckReceived2->isChecked());
    m_form->AllCommands->trigger();
    Restart();
    EXPECT_FALSE(m_form->CheckReceived2->isChecked());
    EXPECT_FALSE(m_form->RichShow->ReceivedCheck().has_value());
}
