// The plot dock: drawing (a known sine checked by its pixels), the click back to the
// traffic line, pause, zoom and export.

#include "QtTestApp.h"
#include "codec/HexCodec.h"
#include "protocol/ModbusFrames.h"
#include "serial/OruScomm.h"
#include "traffic/DataRT.h"
#include "ui/MainWindowTest.h"
#include "ui/main/RichView.h"
#include "ui/main/StatusBarMY.h"
#include "ui/tools/PlotUnit.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <string>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint64_t kBase = 1786000000000;

void Feed(TPlotForm& form, uint64_t timeMs, uint64_t line, const std::string& text) {
    form.AddRecord(true, timeMs, line, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Whether a pixel of the colour lies within `radius` pixels of the point.
bool ColourNear(const QImage& image, QPointF point, QColor colour, int radius) {
    const int cx = static_cast<int>(std::lround(point.x()));
    const int cy = static_cast<int>(std::lround(point.y()));
    for (int y = cy - radius; y <= cy + radius; ++y) {
        for (int x = cx - radius; x <= cx + radius; ++x) {
            if (image.rect().contains(x, y) && image.pixelColor(x, y) == colour) {
                return true;
            }
        }
    }
    return false;
}

TEST(Plot, DrawsASineWhereItsSamplesAre) {
    TPlotForm form;
    // 10 s of a 5 s sine, a sample every 10 ms, a line each.
    for (int i = 0; i < 1000; ++i) {
        const double v = 10 * std::sin(2 * kPi * i / 500.0);
        Feed(form, kBase + 10 * i, i, "sine:" + std::to_string(v) + "\r\n");
    }
    TPlotView& view = *form.View();
    view.resize(640, 300);
    view.SetSpanMs(10000);
    const QImage image = view.grab().toImage();
    ASSERT_EQ(form.Samples().Count(), 1u);
    const auto [low, high] = view.ValueRange();
    EXPECT_NEAR(low, -11, 0.01);
    EXPECT_NEAR(high, 11, 0.01);
    const QColor colour = TPlotView::SeriesColor(0);
    const TSampleSeries& series = form.Samples().Series(0);
    for (size_t i = 13; i < series.Size(); i += 37) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(
            ColourNear(image, view.PixelOf(series.TimeAt(i), series.ValueAt(i)), colour, 2));
    }
    // Nothing of the curve where the sine never goes: above its crest, below its trough.
    const QRect area = view.PlotRect();
    for (int x = area.left() + 2; x < area.right() - 2; x += 5) {
        EXPECT_NE(image.pixelColor(x, static_cast<int>(view.PixelOf(0, 10.6).y())), colour);
        EXPECT_NE(image.pixelColor(x, static_cast<int>(view.PixelOf(0, -10.6).y())), colour);
    }
}

TEST(Plot, ClickOnASampleChoosesItsTrafficLine) {
    TPlotForm form;
    uint64_t chosen = 0;
    int calls = 0;
    form.LineChosen = [&](uint64_t line) {
        chosen = line;
        ++calls;
    };
    // Two series on their own lines; the readings arrive in pieces and on later lines.
    Feed(form, kBase, 100, "a:1 b:5\n");
    Feed(form, kBase + 1000, 101, "a:2 ");
    Feed(form, kBase + 1100, 102, "b:6\n");
    Feed(form, kBase + 2000, 103, "a:3 b:4\n");
    TPlotView& view = *form.View();
    view.resize(400, 200);
    (void)view.grab();
    const auto click = [&](size_t series, size_t index) {
        const TSampleSeries& s = form.Samples().Series(series);
        QTest::mouseClick(&view, Qt::LeftButton, {},
                          view.PixelOf(s.TimeAt(index), s.ValueAt(index)).toPoint() +
                              QPoint(2, -1));
    };
    click(1, 1); // b:6 began on line 101
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(chosen, 101u);
    click(0, 2);
    EXPECT_EQ(chosen, 103u);
    // Away from every sample: nothing chosen.
    QTest::mouseClick(&view, Qt::LeftButton, {}, view.PlotRect().center() + QPoint(0, 60));
    EXPECT_EQ(calls, 2);
}

TEST(Plot, PauseFreezesTheWindowWhileSamplesKeepComing) {
    TPlotForm form;
    TPlotView& view = *form.View();
    view.resize(400, 200);
    view.SetSpanMs(1000);
    for (int i = 0; i < 100; ++i) {
        Feed(form, kBase + 100 * i, i, "v:" + std::to_string(i) + "\n");
    }
    (void)view.grab();
    EXPECT_EQ(view.TimeWindow().second, kBase + 9901);
    view.SetPaused(true);
    for (int i = 100; i < 200; ++i) {
        Feed(form, kBase + 100 * i, i, "v:" + std::to_string(i) + "\n");
    }
    EXPECT_EQ(view.TimeWindow().second, kBase + 9901);
    EXPECT_EQ(form.Samples().Series(0).Size(), 200u);
    view.SetPaused(false);
    EXPECT_EQ(view.TimeWindow().second, kBase + 19901);

    // A dragged rectangle becomes the window: its times and values.
    (void)view.grab();
    const QRect area = view.PlotRect();
    const QPoint from = area.topLeft() + QPoint(area.width() / 4, area.height() / 4);
    const QPoint to = area.topLeft() + QPoint(area.width() * 3 / 4, area.height() * 3 / 4);
    QTest::mousePress(&view, Qt::LeftButton, {}, from);
    QTest::mouseMove(&view, to);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
    (void)view.grab();
    const auto [t0, t1] = view.TimeWindow();
    EXPECT_NEAR(static_cast<double>(t1 - t0), 500, 10);
    EXPECT_NEAR(static_cast<double>(t0 - kBase), 18901 + 250, 10);
    // New samples do not move a zoomed window; a reset follows them again.
    Feed(form, kBase + 30000, 300, "v:1\n");
    EXPECT_EQ(view.TimeWindow().first, t0);
    view.Reset();
    EXPECT_EQ(view.TimeWindow().second, kBase + 30001);
}

TEST(Plot, ModbusRegistersAndExport) {
    TPlotForm form;
    form.SetSource(TPlotSource::Modbus);
    const auto feed = [&](bool received, uint64_t time, std::string_view hex) {
        const std::string bytes = ModbusFramed(hex);
        form.AddRecord(received, time, time, reinterpret_cast<const uint8_t*>(bytes.data()),
                       bytes.size());
    };
    feed(false, kBase, "01 03 00 00 00 02");
    feed(true, kBase + 10, "01 03 04 00 0A 00 14");
    feed(false, kBase + 1000, "01 03 00 00 00 02");
    feed(true, kBase + 1010, "01 03 04 00 0B 00 15");
    ASSERT_EQ(form.Samples().Names().Names(), (std::vector<std::string>{"1:40001", "1:40002"}));

    QStringList failures;
    form.ReportFailure = [&](const QString&, const QString& text) { failures << text; };
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("samples.csv"));
    ASSERT_TRUE(form.ExportCsv(csv, true));
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = file.readAll().split('\n');
    ASSERT_GE(rows.size(), 3);
    EXPECT_EQ(rows[0], "time,1:40001,1:40002");
    EXPECT_TRUE(rows[1].endsWith(",10,20")) << rows[1].toStdString();
    EXPECT_TRUE(rows[2].endsWith(",11,21")) << rows[2].toStdString();

    const QString png = dir.filePath(QStringLiteral("plot.png"));
    ASSERT_TRUE(form.ExportPng(png));
    EXPECT_EQ(QImage(png).size(), form.View()->size());
    EXPECT_TRUE(failures.isEmpty());
    EXPECT_FALSE(form.ExportCsv(dir.filePath(QStringLiteral("no/such/dir/samples.csv")), false));
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures[0].startsWith(QStringLiteral("Cannot write ")))
        << failures[0].toStdString();
}

template <typename T> T& Child(TPlotForm& form, const char* name) {
    T* child = form.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return *child;
}

void Type(QLineEdit& edit, const QString& text) {
    edit.clear();
    QTest::keyClicks(&edit, text);
    QTest::keyClick(&edit, Qt::Key_Return);
}

// The value range typed in the tool bar: the axis shows it, zooming leaves it and Reset
// comes back to it; a range that is not one is refused with a word and changes nothing;
// both fields empty is autoscale again.
TEST(Plot, ATypedValueRangeFixesTheAxisAndResetReturnsToIt) {
    TPlotForm form;
    TPlotView& view = *form.View();
    view.resize(400, 200);
    for (int i = 0; i <= 100; ++i) {
        Feed(form, kBase + 100 * i, i, "v:" + std::to_string(i) + "\n");
    }
    int changes = 0;
    form.RangeChanged = [&] { ++changes; };
    auto& low = Child<QLineEdit>(form, "PlotRangeMin");
    auto& high = Child<QLineEdit>(form, "PlotRangeMax");
    auto& autoscale = Child<QAction>(form, "PlotAutoscale");
    const auto shown = [&] {
        (void)view.grab();
        return view.ValueRange();
    };
    EXPECT_EQ(shown(), std::make_pair(-5.0, 105.0)) << "autoscale with 5 % room";

    Type(low, QStringLiteral("-5.5"));
    EXPECT_EQ(changes, 0) << "half a range is not a range yet";
    Type(high, QStringLiteral("40"));
    EXPECT_EQ(shown(), std::make_pair(-5.5, 40.0));
    EXPECT_FALSE(autoscale.isChecked());
    EXPECT_EQ(form.RangeText(), QStringLiteral("-5.5,40"));
    EXPECT_EQ(changes, 1);

    QWheelEvent wheel(view.PlotRect().center(), view.mapToGlobal(view.PlotRect().center()), {},
                      QPoint(0, 120), Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &wheel);
    EXPECT_NE(shown(), std::make_pair(-5.5, 40.0)) << "Ctrl+wheel zooms the values";
    Child<QAction>(form, "PlotReset").trigger();
    EXPECT_EQ(shown(), std::make_pair(-5.5, 40.0));
    EXPECT_FALSE(autoscale.isChecked());

    const struct {
        const char* low;
        const char* high;
    } refused[] = {{"50", "10"}, {"7", "7"}, {"x", "10"}, {"1", "inf"}, {"nan", "3"}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.low);
        low.setText(QString::fromLatin1(r.low));
        Type(high, QString::fromLatin1(r.high));
        EXPECT_EQ(shown(), std::make_pair(-5.5, 40.0));
        EXPECT_EQ(form.RangeText(), QStringLiteral("-5.5,40"));
        EXPECT_TRUE(Child<QLabel>(form, "PlotStatus")
                        .text()
                        .contains(QStringLiteral("Range not changed: type two numbers")));
    }
    EXPECT_FALSE(form.SetRangeText(QStringLiteral("1,2,3")));
    EXPECT_EQ(changes, 1);

    // Both empty: autoscale; Autoscale switched off keeps what is shown, in the fields.
    Type(low, QString());
    Type(high, QString());
    EXPECT_TRUE(autoscale.isChecked());
    EXPECT_EQ(shown(), std::make_pair(-5.0, 105.0));
    EXPECT_EQ(form.RangeText(), QString());
    EXPECT_FALSE(Child<QLabel>(form, "PlotStatus").text().contains(QStringLiteral("Range")));
    autoscale.trigger();
    EXPECT_EQ(low.text(), QStringLiteral("-5"));
    EXPECT_EQ(high.text(), QStringLiteral("105"));
    EXPECT_EQ(form.RangeText(), QStringLiteral("-5,105"));
    autoscale.trigger();
    EXPECT_TRUE(low.text().isEmpty());
    EXPECT_EQ(form.RangeText(), QString());
    EXPECT_EQ(changes, 4);
}

// The binary-field source: the controls set offset, type, byte order, scale and the
// leading bytes a frame must have; what they cannot mean is refused with the reason.
TEST(Plot, BinaryFieldControlsChooseWhatIsReadFromEachFrame) {
    TPlotForm form;
    int changes = 0;
    form.SourceChanged = [&] { ++changes; };
    Child<QComboBox>(form, "PlotSource").setCurrentIndex(2);
    EXPECT_EQ(form.Source(), TPlotSource::Binary);
    form.show();
    EXPECT_TRUE(Child<QWidget>(form, "PlotFieldBar").isVisible());
    Child<QSpinBox>(form, "PlotFieldOffset").setValue(1);
    Child<QComboBox>(form, "PlotFieldType").setCurrentText(QStringLiteral("i16"));
    Child<QComboBox>(form, "PlotFieldOrder").setCurrentIndex(1);
    Type(Child<QLineEdit>(form, "PlotFieldScale"), QStringLiteral("0.1"));
    Type(Child<QLineEdit>(form, "PlotFieldMatch"), QStringLiteral("7e"));
    EXPECT_EQ(form.FieldText(), QStringLiteral("1:i16:be:scale=0.1:match=7E:name=1:i16:be"));
    EXPECT_EQ(changes, 6); // the source and five edits

    const auto feed = [&](uint64_t time, const char* hex) {
        const std::string bytes = HexToBytes(NormalizeHex(hex));
        form.AddRecord(true, kBase + time, time, reinterpret_cast<const uint8_t*>(bytes.data()),
                       bytes.size());
    };
    feed(1, "7E FF 38 00"); // -200 -> -20
    feed(2, "7F 00 64");    // not the frame's start bytes
    feed(3, "7E 00");       // too short
    feed(4, "7E 00 64");    // 100 -> 10
    form.AddRecord(false, kBase + 5, 5, reinterpret_cast<const uint8_t*>("\x7E\x00\x01"), 3);
    ASSERT_EQ(form.Samples().Count(), 1u);
    EXPECT_EQ(form.Samples().Names().Names()[0], "1:i16:be");
    const TSampleSeries& series = form.Samples().Series(0);
    ASSERT_EQ(series.Size(), 2u) << "sent bytes carry no field";
    EXPECT_DOUBLE_EQ(series.ValueAt(0), -20);
    EXPECT_DOUBLE_EQ(series.ValueAt(1), 10);
    EXPECT_EQ(series.OriginAt(1), 4u);

    // Refused: the field stays, the status says why.
    const QString before = form.FieldText();
    Type(Child<QLineEdit>(form, "PlotFieldScale"), QStringLiteral("0"));
    EXPECT_EQ(form.FieldText(), before);
    EXPECT_TRUE(Child<QLabel>(form, "PlotStatus").text().contains(QStringLiteral("scale \"0\"")))
        << Child<QLabel>(form, "PlotStatus").text().toStdString();
    Type(Child<QLineEdit>(form, "PlotFieldMatch"), QStringLiteral("7E 5"));
    EXPECT_EQ(form.FieldText(), before);
    EXPECT_EQ(changes, 6);

    // The field's text sets the controls, as the window does from config.ini.
    EXPECT_FALSE(form.SetFieldText(QStringLiteral("2:u64")));
    ASSERT_TRUE(form.SetFieldText(QStringLiteral("3:f32:match=AA 55")));
    EXPECT_EQ(Child<QSpinBox>(form, "PlotFieldOffset").value(), 3);
    EXPECT_EQ(Child<QComboBox>(form, "PlotFieldType").currentText(), QStringLiteral("f32"));
    EXPECT_EQ(Child<QComboBox>(form, "PlotFieldOrder").currentIndex(), 0);
    EXPECT_EQ(Child<QLineEdit>(form, "PlotFieldMatch").text(), QStringLiteral("AA 55"));
    EXPECT_TRUE(Child<QLineEdit>(form, "PlotFieldScale").text().isEmpty());
}

class PlotWindowTest : public MainWindowTest {
protected:
    void Created(TMainForm& form) override { form.resize(900, 700); }
    // Received readings as the receive thread queues them (hex payloads), one tick each.
    void Pump(TMainForm& form, int from, int to) {
        for (int i = from; i < to; ++i) {
            const std::string text = "temp:" + std::to_string(i) + "\r\n";
            form.Connection()->QueueRecord(TrafficRecordHeader('R', "12:00:00", 50) +
                                           BytesToHex(text, " "));
            form.DataRT()->PumpTick();
        }
    }
};

TEST_F(PlotWindowTest, TrafficReachesThePlotAndASampleLeadsBackToItsLine) {
    {
        TMainForm& form = Start();
        EXPECT_FALSE(form.PlotWindow->isVisible()); // the shipped menu
        Pump(form, 0, 2);                           // plot closed: nothing taken
        form.AllCommands->trigger();
        form.PlotWindow->trigger();
        ASSERT_FALSE(form.PlotForm->isHidden());
        Pump(form, 2, 8);
        ASSERT_EQ(form.PlotForm->Samples().Count(), 1u);
        const TSampleSeries& series = form.PlotForm->Samples().Series(0);
        ASSERT_EQ(series.Size(), 6u);
        EXPECT_EQ(series.ValueAt(0), 2);

        TPlotView& view = *form.PlotForm->View();
        (void)view.grab();
        const auto click = [&](size_t index) {
            QTest::mouseClick(&view, Qt::LeftButton, {},
                              view.PixelOf(series.TimeAt(index), series.ValueAt(index)).toPoint());
        };
        click(3); // temp:5, the sixth line
        EXPECT_EQ(form.RichShow->SelectedText(), form.RichShow->LineText(5));
        EXPECT_NE(form.RichShow->LineText(5).find(BytesToHex(std::string("temp:5"), " ")),
                  std::string::npos)
            << form.RichShow->LineText(5);

        // Older lines cut: the link follows its line; a sample whose line went has none.
        form.RichShow->DeleteFirstLines(4);
        click(3);
        EXPECT_EQ(form.RichShow->SelectedText(), form.RichShow->LineText(1));
        form.RichShow->SetSelection(0, 0);
        click(0);
        EXPECT_EQ(form.RichShow->SelectedText(), "");
        EXPECT_EQ(form.StatusBarMY1->PanelText(0),
                  QStringLiteral("That sample's line is no longer in the traffic view"));
        form.RichShow->Clear();
        Pump(form, 8, 9);
        click(3);
        EXPECT_EQ(form.RichShow->SelectedText(), "");

        form.PlotForm->SetSource(TPlotSource::Modbus);
        form.PlotForm->SourceChanged();
    }
    // The window's place and the source choice are kept in config.ini.
    TMainForm& form = Restart();
    EXPECT_FALSE(form.PlotForm->isHidden());
    EXPECT_TRUE(form.PlotWindow->isChecked());
    EXPECT_EQ(form.PlotForm->Source(), TPlotSource::Modbus);
}

// The binary field and the typed range are kept in config.ini and come back after a
// restart; what config.ini holds that is not a field or a range leaves the plot's own.
TEST_F(PlotWindowTest, TheFieldAndTheTypedRangeAreKeptInConfigIni) {
    {
        TMainForm& form = Start();
        form.AllCommands->trigger();
        form.PlotWindow->trigger();
        TPlotForm& plot = *form.PlotForm;
        Child<QComboBox>(plot, "PlotSource").setCurrentIndex(2);
        Child<QSpinBox>(plot, "PlotFieldOffset").setValue(4);
        Child<QComboBox>(plot, "PlotFieldType").setCurrentText(QStringLiteral("f32"));
        Type(Child<QLineEdit>(plot, "PlotFieldMatch"), QStringLiteral("AA55"));
        Type(Child<QLineEdit>(plot, "PlotRangeMin"), QStringLiteral("0"));
        Type(Child<QLineEdit>(plot, "PlotRangeMax"), QStringLiteral("2.5e3"));
    }
    {
        TMainForm& form = Restart();
        TPlotForm& plot = *form.PlotForm;
        EXPECT_EQ(plot.Source(), TPlotSource::Binary);
        EXPECT_EQ(plot.FieldText(), QStringLiteral("4:f32:le:match=AA55:name=4:f32:le"));
        EXPECT_EQ(plot.RangeText(), QStringLiteral("0,2500"));
        (void)plot.View()->grab();
        EXPECT_EQ(plot.View()->ValueRange(), std::make_pair(0.0, 2500.0));
        EXPECT_FALSE(Child<QAction>(plot, "PlotAutoscale").isChecked());
    }
    Close();
    QFile ini(QString::fromStdString(Folder() + "/config.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadWrite));
    QByteArray text = ini.readAll();
    EXPECT_TRUE(text.contains("PlotRange=0,2500")) << text.toStdString();
    text.replace("PlotRange=0,2500", "PlotRange=9,1");
    text.replace("PlotField=4:f32:le:match=AA55:name=4:f32:le", "PlotField=4:f99");
    ini.resize(0);
    ini.write(text);
    ini.close();
    TMainForm& form = Start();
    EXPECT_EQ(form.PlotForm->RangeText(), QString());
    EXPECT_TRUE(Child<QAction>(*form.PlotForm, "PlotAutoscale").isChecked());
    EXPECT_EQ(form.PlotForm->FieldText(), QStringLiteral("0:u16:le:name=0:u16:le"));
    EXPECT_EQ(form.Options().plotRange, QString());
}

} // namespace
