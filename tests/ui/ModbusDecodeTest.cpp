// View > Decode > Modbus RTU: the frames of each record drawn under its line (exceptions
// and bad CRCs in red, bytes of no frame named), a tool tip with every field, the status
// bar's count; the choice kept in config.ini; and nothing but the screen changes: the text,
// the saved and auto-saved files, find, the capture and the printed pages are the same with
// it on or off.

#include "codec/HexCodec.h"
#include "print/PictureText.h"
#include "print/RecordingPrinter.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/main/CaptureControl.h"
#include "ui/main/ModbusNotes.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/main/ViewSaver.h"
#include "ui/print/PrintUnit.h"

#include <QFile>
#include <QHelpEvent>
#include <QMenu>
#include <QToolTip>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Hex text of a frame with its CRC (low byte first).
std::string Frame(std::vector<uint8_t> bytes) {
    const uint16_t crc = ModbusCrc16(bytes.data(), bytes.size());
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return BytesToHex(bytes.data(), bytes.size(), " ");
}

std::string Sent(uint32_t gap, const std::string& hex) {
    return TrafficRecordHeader('T', "12:00:00", gap) + hex;
}
std::string Received(uint32_t gap, const std::string& hex) {
    return TrafficRecordHeader('R', "12:00:00", gap) + hex;
}

// A poll and its reply, a refused poll, a reply damaged on the line, noise before a frame.
std::vector<std::string> Traffic() {
    std::vector<uint8_t> reply = {0x01, 0x03, 0x14};
    for (uint8_t v = 0; v < 10; ++v) {
        reply.insert(reply.end(), {0x00, v});
    }
    std::string damaged = Frame({0x01, 0x06, 0x00, 0x01, 0x00, 0x03});
    damaged.back() = damaged.back() == '0' ? '1' : '0';
    return {
        Sent(50, Frame({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A})),
        Received(12, Frame(reply)),
        Sent(200, Frame({0x01, 0x03, 0x00, 0x64, 0x00, 0x01})),
        Received(7, Frame({0x01, 0x83, 0x02})),
        Received(300, damaged),
        Received(400, "FE FE FE " + Frame({0x01, 0x06, 0x00, 0x01, 0x00, 0x03})),
        Sent(500, Frame({0x02, 0x04, 0x00, 0x10, 0x00, 0x02})),
    };
}

class ModbusDecodeTest : public MainWindowTest {
protected:
    void Created(TMainForm& form) override { form.resize(900, 600); }

    // The records as the receive thread queues them, one pump tick each.
    void Pump(const std::vector<std::string>& records) {
        for (const std::string& r : records) {
            m_form->Connection()->QueueRecord(r);
            m_form->DataRT()->PumpTick();
        }
    }
    void ShowSending(TMainForm& form) {
        form.Settings().showSending = true;
        form.RefreshSettings();
    }
    static std::vector<TLineNotes::Row> Rows(RichView& view, int line) {
        std::vector<TLineNotes::Row> rows;
        TLineNotes* notes = view.LineNotes();
        const uint32_t note = view.LineNote(line);
        for (int i = 0; notes != nullptr && i < notes->RowCount(note); ++i) {
            rows.push_back(notes->RowOf(note, i));
        }
        return rows;
    }
    static std::string RowText(RichView& view, int line, int row = 0) {
        const auto rows = Rows(view, line);
        return static_cast<size_t>(row) < rows.size()
                   ? rows[static_cast<size_t>(row)].text.toStdString()
                   : std::string("<no row>");
    }
};

TEST_F(ModbusDecodeTest, RequestsAndRepliesAreDecodedUnderTheirLines) {
    TMainForm& form = Start();
    ShowSending(form);
    form.DecodeModbus->trigger();
    RichView& show = *form.RichShow;
    Pump(Traffic());
    ASSERT_EQ(show.LineCount(), 7);

    struct Case {
        int line;
        std::vector<std::string> texts;
        std::vector<bool> alerts;
    };
    const Case cases[] = {
        {0, {"slave 1 Read Holding Registers 0x0000 x10"}, {false}},
        {1, {"slave 1 reply 0x0000..0x0009 = 0 1 2 3 4 5 6 7 8 9  (12 ms)"}, {false}},
        {2, {"slave 1 Read Holding Registers 0x0064 x1"}, {false}},
        {3, {"slave 1 exception Read Holding Registers: 02 Illegal Data Address  (7 ms)"}, {true}},
        {5,
         {"not Modbus (3 bytes)", "slave 1 reply Write Single Register 0x0001 = 3"},
         {false, false}},
        {6, {"slave 2 Read Input Registers 0x0010 x2"}, {false}},
    };
    for (const Case& c : cases) {
        const auto rows = Rows(show, c.line);
        ASSERT_EQ(rows.size(), c.texts.size()) << show.LineText(c.line);
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].text.toStdString(), c.texts[i]) << show.LineText(c.line);
            EXPECT_EQ(rows[i].alert, c.alerts[i]) << c.texts[i];
        }
    }
    const auto damaged = Rows(show, 4);
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_TRUE(damaged[0].text.contains(QStringLiteral("CRC bad, expected"))) << RowText(show, 4);
    EXPECT_TRUE(damaged[0].alert);

    // The status bar counts frames (noise is none), the bad CRC, the exception, and the
    // last poll that no reply answered yet.
    form.Timer1Timer();
    EXPECT_EQ(form.StatusBarMY1->PanelText(4).toStdString(),
              "Modbus: 7 frames, 1 bad CRC, 1 exceptions, 1 unanswered");

    // Another value format shows the same registers anew, old lines included.
    form.ModbusValueActions[static_cast<int>(TModbusValueFormat::Hex)]->trigger();
    EXPECT_EQ(RowText(show, 1),
              "slave 1 reply 0x0000..0x0009 = 0x0000 0x0001 0x0002 0x0003 0x0004 0x0005 "
              "0x0006 0x0007 0x0008 0x0009  (12 ms)");

    // The reply's row sits under its line and its tool tip lists every field.
    show.FlushPaint();
    QPoint at(-1, -1);
    for (int y = 0; y < show.viewport()->height() && at.y() < 0; ++y) {
        if (show.NoteHintAt(QPoint(40, y)).contains(QStringLiteral("Byte count: 20"))) {
            at = QPoint(40, y);
        }
    }
    ASSERT_GE(at.y(), 0);
    QHelpEvent help(QEvent::ToolTip, at, show.viewport()->mapToGlobal(at));
    QApplication::sendEvent(show.viewport(), &help);
    const QString tip = QToolTip::text();
    for (const char* field :
         {"Modbus RTU reply, received", "Slave: 1", "Function: 03 Read Holding Registers",
          "Address: 0x0000 (0)", "Quantity: 10", "Byte count: 20", "Registers (hex): 0x0000",
          "CRC: ok", "Reply time: 12 ms", "Request: 01 03 00 00 00 0A C5 CD"}) {
        EXPECT_TRUE(tip.contains(QString::fromLatin1(field))) << field << "\n" << tip.toStdString();
    }
    // The row below the line, not the line: the line's own text has no hint.
    EXPECT_TRUE(show.NoteHintAt(QPoint(40, 4)).isEmpty());

    // None: no rows, no count; the notes come back with the choice.
    form.DecodeNone->trigger();
    EXPECT_EQ(show.LineNotes(), nullptr);
    EXPECT_EQ(show.NoteHeight(1), 0);
    form.Timer1Timer();
    EXPECT_FALSE(form.StatusBarMY1->PanelText(4).contains(QStringLiteral("Modbus")));
}

TEST_F(ModbusDecodeTest, TheChoicesAreKeptInConfigIni) {
    {
        TMainForm& form = Start();
        EXPECT_TRUE(form.DecodeNone->isChecked());
        EXPECT_EQ(form.RichShow->LineNotes(), nullptr);
        EXPECT_FALSE(form.DecodeMenu->menuAction()->isVisible()); // the shipped menu
        form.AllCommands->trigger();
        EXPECT_TRUE(form.DecodeMenu->menuAction()->isVisible());
        form.DecodeModbus->trigger();
        form.ModbusValueActions[static_cast<int>(TModbusValueFormat::F32LowFirst)]->trigger();
    }
    TMainForm& form = Restart();
    EXPECT_TRUE(form.DecodeModbus->isChecked());
    EXPECT_FALSE(form.DecodeNone->isChecked());
    EXPECT_TRUE(
        form.ModbusValueActions[static_cast<int>(TModbusValueFormat::F32LowFirst)]->isChecked());
    ASSERT_NE(form.ModbusNotes(), nullptr);
    EXPECT_EQ(form.ModbusNotes()->Format(), TModbusValueFormat::F32LowFirst);
    EXPECT_EQ(form.RichShow->LineNotes(), form.ModbusNotes());
    QFile ini(QString::fromStdString(Folder() + "/config.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    EXPECT_TRUE(text.contains("Decode=modbus")) << text.toStdString();
    EXPECT_TRUE(text.contains("ModbusValues=f32-swapped")) << text.toStdString();
    ini.close();

    // Values the program does not know read as the defaults.
    Close();
    QByteArray edited = text;
    edited.replace("Decode=modbus", "Decode=morse").replace("f32-swapped", "f128");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(edited);
    ini.close();
    TMainForm& again = Start();
    EXPECT_TRUE(again.DecodeNone->isChecked());
    EXPECT_TRUE(again.ModbusValueActions[0]->isChecked());
}

TEST_F(ModbusDecodeTest, AllCommandsOffSwitchesDecodingOffWithItsHiddenMenu) {
    TMainForm& form = Start();
    form.AllCommands->trigger();
    form.DecodeModbus->trigger();
    ASSERT_NE(form.RichShow->LineNotes(), nullptr);
    form.AllCommands->trigger();
    EXPECT_FALSE(form.DecodeMenu->menuAction()->isVisible());
    EXPECT_TRUE(form.DecodeNone->isChecked());
    EXPECT_EQ(form.RichShow->LineNotes(), nullptr);
    EXPECT_EQ(form.Options().decode, QStringLiteral("none"));
}

TEST_F(ModbusDecodeTest, DecodingChangesTheScreenOnly) {
    // Everything that reads the traffic view, with decoding off and then on.
    struct Outputs {
        std::string text;
        std::string saved;
        std::vector<int64_t> found;
        std::string captured;
        std::vector<std::string> autoSaved;
        QStringList printed;
        int notes = 0;
    };
    const auto run = [&](bool decode, const std::string& name) {
        Outputs out;
        TMainForm& form = Start();
        RecordingPrinter printer;
        printer.answers = {RecordingPrinter::All(1)};
        InstallPrintForm(form, m_prompter, &printer);
        SettingsRecord& s = form.Settings();
        s.showSending = true;
        s.showTime = true;
        // The receive filter leaves out the refused poll's exception.
        s.filterEnabled = true;
        s.filterEntries[0] = FilterEntry{2, "03"};
        form.RefreshSettings();
        if (decode) {
            form.DecodeModbus->trigger();
        }
        // Auto save every three lines into a folder of this run.
        const std::string folder = Root() + "/auto-" + name;
        std::filesystem::create_directories(folder);
        s.autoSavePath = folder;
        s.autoLineThreshold = 3;
        form.AutoSaveOn = true;
        auto* capture = form.findChild<TCaptureControl*>();
        EXPECT_NE(capture, nullptr);
        const std::string capturePath = Root() + "/capture-" + name;
        EXPECT_TRUE(capture->Start(capturePath));
        Pump(Traffic());
        capture->Stop();
        auto* saver = form.findChild<TViewSaver*>();
        EXPECT_NE(saver, nullptr);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !saver->Busy(); }, 10000));
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        for (const std::string& path : names) {
            out.autoSaved.push_back(ReadRaw(path));
        }
        RichView& show = *form.RichShow;
        for (int line = 0; line < show.LineCount(); ++line) {
            out.notes += static_cast<int>(Rows(show, line).size());
        }
        out.text = show.Text();
        for (int64_t at = show.Find("03", 0, show.TextLength(), true); at >= 0;
             at = show.Find("03", at + 1, show.TextLength(), true)) {
            out.found.push_back(at);
        }
        const std::string saved = Root() + "/saved-" + name;
        m_prompter.fileNames = {QString::fromStdString(saved)};
        form.SaveFile(&show);
        out.saved = ReadRaw(saved + ".rtf");
        out.captured = ReadRaw(capturePath);
        form.PrintDirect();
        // The pages are laid out between the window's events before the dialog.
        EXPECT_TRUE(QTest::qWaitFor([&] { return printer.jobs.size() == 1u; }, 60000));
        for (const auto& job : printer.jobs) {
            for (const auto& sheet : job.sheets) {
                out.printed << PictureText(*sheet).Rows();
            }
        }
        Close();
        return out;
    };
    const Outputs off = run(false, "off");
    const Outputs on = run(true, "on");
    EXPECT_EQ(off.notes, 0);
    EXPECT_GT(on.notes, 0);
    EXPECT_EQ(on.text, off.text);
    EXPECT_EQ(on.found, off.found);
    EXPECT_FALSE(off.saved.empty());
    EXPECT_EQ(on.saved, off.saved);
    EXPECT_FALSE(off.captured.empty());
    EXPECT_EQ(on.captured, off.captured);
    EXPECT_FALSE(off.autoSaved.empty());
    EXPECT_EQ(on.autoSaved, off.autoSaved);
    EXPECT_FALSE(off.printed.isEmpty());
    EXPECT_EQ(on.printed, off.printed);
    EXPECT_EQ(off.text.find("83 02"), std::string::npos) << "filtered out";
}

TEST_F(ModbusDecodeTest, TheDecodedFramesShareTheViewsMemoryBudget) {
    // Records of back-to-back polls: each one's frames take several times its text, so
    // only a budget that counts them keeps the view bounded.
    TMainForm& form = Start();
    ShowSending(form);
    form.Options().viewMemoryBudgetMB = 16;
    const int64_t budget = int64_t{16} * 1024 * 1024;
    form.DecodeModbus->trigger();
    std::string polls;
    for (int i = 0; i < 500; ++i) {
        polls += Frame({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}) + " ";
    }
    const TLineStore& store = form.RichShow->Store();
    TModbusNotes& notes = *form.ModbusNotes();
    int64_t most = 0;
    for (int i = 0; i < 400; ++i) {
        Pump({Sent(100, polls)});
        most = std::max(most, store.MemoryBytes() + static_cast<int64_t>(notes.MemoryBytes()));
    }
    EXPECT_GT(store.FrontLinesDropped(), 0u);
    EXPECT_LT(most, budget + budget / 8);
    // What is left still shows its frames.
    EXPECT_EQ(Rows(*form.RichShow, form.RichShow->LineCount() - 1).size(), 500u);
    EXPECT_LE(notes.FramesKept(), static_cast<size_t>(form.RichShow->LineCount()) * 500);
}

} // namespace
