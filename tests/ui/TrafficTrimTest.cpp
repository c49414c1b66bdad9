#include "ui/main/TrafficTrim.h"
#include "ui/QtTestApp.h"
#include "ui/main/RichView.h"

#include <QString>

#include <gtest/gtest.h>

#include <string>

namespace {

const TextAttributes kGrey{"Courier New", 0, 0x808080};
const TextAttributes kBlue{"Courier New", 0, 0xC80000};

// One record as the pump shows it: a numbered prefix and a payload of `bytes` in hex.
void AppendRecord(RichView& view, int number, int bytes) {
    view.MoveCaretToEnd();
    // Numbers of one width, so every record wraps into the same rows.
    view.InsertText(QStringLiteral("[%1] ").arg(number, 5, 10, QLatin1Char('0')).toStdString(),
                    kGrey);
    std::string hex;
    for (int i = 0; i < bytes; ++i) {
        hex += "5A ";
    }
    view.InsertText(hex + "\r\n", kBlue);
}

int FirstRecord(const RichView& view) {
    const std::string line = view.LineText(0);
    return std::stoi(line.substr(1, line.find(']') - 1));
}

} // namespace

// Each case appends records until the limit is passed once, trims, and checks what is
// left: the newest records in order, the fewest oldest ones gone, never the whole view.
TEST(TrafficTrimTest, DropsOnlyTheOldestLinesThatMakeTheCut) {
    struct Case {
        const char* name;
        bool wordWrap;
        int recordBytes;
        TTrafficLimits limits;
    };
    TTrafficLimits rows;
    rows.lineCap = 1000;
    rows.linesCut = 200;
    TTrafficLimits lines = rows;
    TTrafficLimits memory;
    memory.memoryBudget = 1024 * 1024;
    TTrafficLimits hugeLine = rows;
    hugeLine.lineCap = 10;
    hugeLine.linesCut = 1000;
    const Case cases[] = {
        {"line cap without wrap", false, 40, lines},
        {"row cap with wrap", true, 700, rows},
        {"one line wider than the row cap", true, 3000, hugeLine},
        {"memory budget", false, 30000, memory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RichView view;
        view.resize(400, 200);
        view.show();
        view.SetWordWrap(c.wordWrap);
        int appended = 0;
        const auto over = [&] {
            const int shown = c.wordWrap ? view.VisualLineCount() : view.LineCount();
            return shown > c.limits.lineCap || view.Store().MemoryBytes() > c.limits.memoryBudget;
        };
        while (!over() || appended < 3) {
            AppendRecord(view, ++appended, c.recordBytes);
        }
        const int rowsPerRecord = view.RowsOfLine(0);
        const int64_t bytesPerRecord = TLineStore::LineBytes(view.Store().Line(0));
        ASSERT_TRUE(TrimTrafficView(view, c.limits));

        const int dropped = FirstRecord(view) - 1;
        EXPECT_EQ(view.LineCount(), appended - dropped);
        EXPECT_EQ(FirstRecord(view) + view.LineCount() - 1, appended);
        EXPECT_EQ(view.LineText(view.LineCount() - 1).substr(1, 5),
                  QStringLiteral("%1").arg(appended, 5, 10, QLatin1Char('0')).toStdString());
        EXPECT_EQ(view.CaretLine(), view.StoredLineCount() - 1);
        if (c.limits.memoryBudget < TTrafficLimits{}.memoryBudget) {
            const int64_t target = c.limits.memoryBudget / 8 * 7;
            EXPECT_LE(view.Store().MemoryBytes(), target);
            EXPECT_GT(view.Store().MemoryBytes() + bytesPerRecord, target);
        } else if (c.wordWrap && rowsPerRecord * (appended - 1) < c.limits.linesCut) {
            EXPECT_EQ(view.LineCount(), 1); // never the last line shown
        } else if (c.wordWrap) {
            EXPECT_EQ(dropped, (c.limits.linesCut + rowsPerRecord - 1) / rowsPerRecord)
                << rowsPerRecord << " rows per record";
        } else {
            EXPECT_EQ(dropped, c.limits.linesCut);
        }
        EXPECT_FALSE(TrimTrafficView(view, c.limits)) << "a second trim finds nothing to drop";
    }
}
