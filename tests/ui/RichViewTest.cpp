#include "ui/main/RichView.h"
#include "ui/QtTestApp.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

const TextAttributes kGrey{"Courier New", 0, 0x808080};
const TextAttributes kBlue{"Courier New", 0, 0xC80000};

// What the traffic engine does per displayed record.
void AppendRecord(RichView& view, const std::string& prefix, const std::string& payload,
                  const TextAttributes& colour = kBlue) {
    view.MoveCaretToEnd();
    view.InsertText(prefix, kGrey);
    view.InsertText(payload + "\r\n", colour);
}

std::string AllBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    return bytes;
}

class RichViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        view.resize(400, 200);
        view.show();
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    }
    // Plain text of the view, lines joined by "\n".
    std::string Plain() const { return StyledPlainText(view.ToStyledText()); }

    RichView view;
};

TEST_F(RichViewTest, AppendedRecordsKeepTheirLinesColoursAndCaret) {
    AppendRecord(view, "[R x] ", "01 03 02");
    AppendRecord(view, "", "HELLO", {"Arial", 0, 0x0000C8});

    EXPECT_EQ(view.LineCount(), 2);
    EXPECT_EQ(view.StoredLineCount(), 3);
    EXPECT_EQ(view.LineText(0), "[R x] 01 03 02");
    EXPECT_EQ(view.LineText(1), "HELLO");
    EXPECT_EQ(view.LineText(2), "");
    EXPECT_EQ(view.LineText(3), "");
    EXPECT_EQ(view.LineText(-1), "");
    EXPECT_EQ(view.CaretLine(), 2);
    EXPECT_EQ(view.CaretColumn(), 0);

    const StyledText styled = view.ToStyledText();
    ASSERT_EQ(styled.size(), 3u);
    EXPECT_EQ(styled[0].text, "[R x] ");
    EXPECT_EQ(styled[0].style.color, 0x808080u);
    EXPECT_EQ(styled[1].text, "01 03 02\n");
    EXPECT_EQ(styled[1].style.color, 0xC80000u);
    EXPECT_EQ(styled[1].style.fontName, "Courier New");
    EXPECT_EQ(styled[1].style.sizeHalfPoints, 18); // the view's size is kept
    EXPECT_EQ(styled[2].text, "HELLO\n");
    EXPECT_EQ(styled[2].style.fontName, "Arial");
    EXPECT_EQ(styled[2].style.color, 0x0000C8u);
}

TEST_F(RichViewTest, OnlyCrLfEndsALineAndEveryByteSurvives) {
    struct Case {
        std::string inserted;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"a\r\nb", {"a", "b"}},
        {"a\rb\nc", {"a\rb\nc"}},
        {"\r\n\r\n", {"", "", ""}},
        {"x\n\r\ny\r", {"x\n", "y\r"}},
        {std::string("\0\r\n\0", 4), {std::string(1, '\0'), std::string(1, '\0')}},
    };
    for (const Case& c : cases) {
        view.Clear();
        view.InsertText(c.inserted, kBlue);
        ASSERT_EQ(view.StoredLineCount(), static_cast<int>(c.lines.size())) << c.inserted;
        for (size_t i = 0; i < c.lines.size(); ++i) {
            EXPECT_EQ(view.LineText(static_cast<int>(i)), c.lines[i]) << c.inserted;
        }
        view.SelectAll();
        EXPECT_EQ(view.SelectedText(), c.inserted);
    }

    view.Clear();
    const std::string bytes = AllBytes();
    view.InsertText(bytes, kBlue);
    EXPECT_EQ(view.LineText(0), bytes);
    view.SelectAll();
    EXPECT_EQ(view.SelectedText(), bytes);
    EXPECT_EQ(view.SelectionLength(), 256);
    // Through the styled form (UTF-8) and back; there "\n" is the line end.
    std::string noLf = bytes;
    noLf.erase(10, 1);
    view.Clear();
    view.InsertText(noLf, kBlue);
    RichView other;
    other.SetStyledText(view.ToStyledText());
    EXPECT_EQ(other.LineText(0), noLf);
}

TEST_F(RichViewTest, SelectionCountsALineBreakAsOneCharacter) {
    view.InsertText("abc\r\ndef\r\nghi", kBlue);
    view.SetSelection(2, 5); // "c", break, "def"
    EXPECT_EQ(view.SelectedText(), "c\r\ndef");
    EXPECT_EQ(view.SelectionLength(), 5);
    EXPECT_EQ(view.SelectionStart(), 2);
    EXPECT_EQ(view.CaretLine(), 1);
    EXPECT_EQ(view.CaretColumn(), 3);
    EXPECT_EQ(view.LineFromPosition(8), 2);
    EXPECT_EQ(view.PositionFromLine(2), 8);
    EXPECT_EQ(view.Text(), "abc\ndef\nghi");

    // Search: within lines, case folded for a-z only, the match ending by the limit.
    view.MoveCaretToEnd();
    view.InsertText("\r\nCaf\xE9 caf\xC9 cafe", kBlue);
    view.SetSelection(2, 5);
    struct Search {
        std::string needle;
        int64_t from;
        int64_t to;
        bool matchCase;
        int64_t found;
    };
    const std::vector<Search> searches = {
        {"def", 0, 100, true, 4},   {"DEF", 0, 100, true, -1},      {"DEF", 0, 100, false, 4},
        {"def", 5, 100, false, -1}, {"c\nd", 0, 100, true, -1},     {"ghi", 0, 10, true, -1},
        {"ghi", 0, 11, true, 8},    {"caf\xE9", 0, 100, false, 12}, {"CAF\xC9", 0, 100, false, 17},
        {"", 0, 100, true, -1},
    };
    for (const Search& search : searches) {
        EXPECT_EQ(view.Find(search.needle, search.from, search.to, search.matchCase), search.found)
            << search.needle << " from " << search.from;
    }

    // An insertion replaces the selection.
    view.InsertText("X", kGrey);
    EXPECT_EQ(Plain(), "abX\nghi\nCaf\xC3\xA9 caf\xC3\x89 cafe");
    EXPECT_EQ(view.CaretColumn(), 3);
    EXPECT_EQ(view.SelectionLength(), 0);
}

TEST_F(RichViewTest, LineCapDropsTheOldestLinesInOrder) {
    // The traffic view's change handler: over 120000 lines, the first 20000 go.
    int cuts = 0;
    QObject::connect(&view, &RichView::changed, [&] {
        if (view.LineCount() > 120000) {
            ++cuts;
            view.DeleteFirstLines(20000);
            view.MoveCaretToEnd();
        }
    });
    for (int i = 0; i < 120001; ++i) {
        AppendRecord(view, "[R x] ", std::to_string(i));
    }
    EXPECT_EQ(cuts, 1);
    EXPECT_EQ(view.LineCount(), 100001);
    EXPECT_EQ(view.LineText(0), "[R x] 20000");
    EXPECT_EQ(view.LineText(100000), "[R x] 120000");
    EXPECT_EQ(view.CaretLine(), 100001);
    EXPECT_EQ(view.TextLength(), static_cast<int64_t>(view.Text().size()));
    EXPECT_EQ(view.PositionFromLine(1), static_cast<int64_t>(view.LineText(0).size()) + 1);

    // Positions after the cut move up with the text, and so does a reader scrolled back.
    view.SetCaret(50000, 3);
    view.verticalScrollBar()->setValue(49995);
    view.DeleteFirstLines(10);
    EXPECT_EQ(view.verticalScrollBar()->value(), 49985);
    EXPECT_EQ(view.CaretLine(), 49990);
    EXPECT_EQ(view.CaretColumn(), 3);
    view.DeleteFirstLines(200000);
    EXPECT_EQ(view.LineCount(), 0);
    EXPECT_EQ(view.TextLength(), 0);
}

TEST_F(RichViewTest, TypingSelectingAndUndo) {
    view.setFocus();
    QTest::keyClicks(&view, "hello world");
    EXPECT_EQ(Plain(), "hello world");
    QTest::keyClick(&view, Qt::Key_Backspace);
    QTest::keyClick(&view, Qt::Key_Return);
    QTest::keyClicks(&view, "next");
    EXPECT_EQ(Plain(), "hello worl\nnext");
    EXPECT_EQ(view.CaretLine(), 1);

    QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier); // typing "next" goes as one step
    EXPECT_EQ(Plain(), "hello worl\n");
    QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "hello world");
    QTest::keyClick(&view, Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "hello worl");

    // Shift extends; cut, paste and select all.
    QTest::keyClick(&view, Qt::Key_Home);
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(view.SelectedText(), "hello ");
    QTest::keyClick(&view, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "hello ");
    EXPECT_EQ(Plain(), "worl");
    QTest::keyClick(&view, Qt::Key_End);
    QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "worlhello ");
    QApplication::clipboard()->setText("a\r\nb\nc");
    QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "worlhello a\nb\nc");
    QTest::keyClick(&view, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(view.SelectedText(), "\r\nc");
    QTest::keyClick(&view, Qt::Key_Delete);
    EXPECT_EQ(Plain(), "worlhello a\nb");
    QTest::keyClick(&view, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_End, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(view.SelectionLength(), 13);
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "worlhello a\nb");

    // Read-only: nothing the user does changes the text; the program still writes.
    view.SetReadOnly(true);
    view.MoveCaretToEnd();
    QTest::keyClicks(&view, "zz");
    QTest::keyClick(&view, Qt::Key_Backspace);
    QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "worlhello a\nb");
    view.InsertText("!", kBlue);
    EXPECT_EQ(Plain(), "worlhello a\nb!");
}

TEST_F(RichViewTest, UndoSurvivesTrafficAppendedBehindTheEdit) {
    AppendRecord(view, "", "first");
    view.setFocus();
    view.SetCaret(0, 5);
    QTest::keyClicks(&view, "XY");
    AppendRecord(view, "", "second"); // moves the caret to the end, as the pump does
    view.SetCaret(0, 0);
    QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "first\nsecond\n");
    QTest::keyClick(&view, Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(Plain(), "firstXY\nsecond\n");

    // Cutting the edited line away leaves nothing to undo.
    view.DeleteFirstLines(1);
    EXPECT_FALSE(view.CanUndo());
}

// Random edits against a plain string: program insertions, cuts of the first lines,
// and user edits undone and redone step by step.
TEST_F(RichViewTest, RandomEditsMatchAPlainTextModel) {
    std::mt19937 random(7);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const auto randomText = [&] {
        static const std::vector<std::string> pieces = {"ab",   "\r\n",     "x", "01 02 ",
                                                        "\xE9", "\r\n\r\n", "",  "zz\r\nq"};
        std::string text;
        for (int i = pick(4); i > 0; --i) {
            text += pieces[static_cast<size_t>(pick(static_cast<int>(pieces.size())))];
        }
        return text;
    };
    const auto toModel = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text.compare(i, 2, "\r\n") == 0) {
                ++i;
                out += '\n';
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::string model;
    const auto check = [&](int step) {
        ASSERT_EQ(view.Text(), model) << "step " << step;
        ASSERT_EQ(view.TextLength(), static_cast<int64_t>(model.size()));
        const int lines = static_cast<int>(std::count(model.begin(), model.end(), '\n')) + 1;
        ASSERT_EQ(view.StoredLineCount(), lines);
    };
    view.setFocus();
    for (int step = 0; step < 1500; ++step) {
        const int64_t at = model.empty() ? 0 : pick(static_cast<int>(model.size()) + 1);
        const int64_t length = pick(std::max(1, static_cast<int>(model.size() - at) + 1));
        switch (pick(3)) {
        case 0: {
            const std::string text = randomText();
            view.SetSelection(at, length);
            view.InsertText(text, pick(2) ? kBlue : kGrey);
            model.replace(static_cast<size_t>(at), static_cast<size_t>(length), toModel(text));
            break;
        }
        case 1: {
            const int count = pick(3);
            view.DeleteFirstLines(count);
            for (int i = 0; i < count; ++i) {
                const size_t end = model.find('\n');
                model.erase(0, end == std::string::npos ? model.size() : end + 1);
            }
            break;
        }
        default: {
            // A run of user edits, then all of them undone and redone.
            std::vector<std::string> before;
            for (int edits = 1 + pick(4); edits > 0; --edits) {
                const int64_t a = model.empty() ? 0 : pick(static_cast<int>(model.size()) + 1);
                const int64_t n = pick(std::max(1, static_cast<int>(model.size() - a) + 1));
                view.SetSelection(a, n);
                before.push_back(model);
                const std::string text = toModel(randomText());
                if (pick(2) && !text.empty()) { // pasting nothing changes nothing
                    QApplication::clipboard()->setText(QString::fromLatin1(text.c_str()));
                    QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
                    model.replace(static_cast<size_t>(a), static_cast<size_t>(n), text);
                } else if (n > 0 || a > 0) {
                    QTest::keyClick(&view, Qt::Key_Backspace);
                    model.erase(static_cast<size_t>(n > 0 ? a : a - 1),
                                static_cast<size_t>(n > 0 ? n : 1));
                } else {
                    before.pop_back();
                }
                check(step);
            }
            const std::string after = model;
            for (size_t i = before.size(); i > 0; --i) {
                view.Undo();
                model = before[i - 1];
                check(step);
            }
            for (size_t i = 0; i < before.size(); ++i) {
                view.Redo();
            }
            model = after;
            break;
        }
        }
        check(step);
    }
}

TEST_F(RichViewTest, MouseSelectsAndCallsTheEngineHooks) {
    view.InsertText("alpha beta gamma\r\nsecond line", kBlue);
    view.FlushPaint();
    int downs = 0;
    int moves = 0;
    std::vector<bool> ups;
    view.OnMouseDown = [&] { ++downs; };
    view.OnMouseMove = [&] { ++moves; };
    view.OnMouseUp = [&](bool ctrl, int, int) { ups.push_back(ctrl); };

    // Character cells: find the pixel of a column from a click at the first row.
    const QFontMetricsF metrics(QFont("Courier New", 9));
    const double cell = metrics.horizontalAdvance(QString(64, QLatin1Char('0'))) / 64;
    const auto at = [&](int line, int col) {
        const int rowHeight = static_cast<int>(std::ceil(metrics.lineSpacing()));
        return QPoint(2 + static_cast<int>((col + 0.2) * cell),
                      2 + line * rowHeight + rowHeight / 2);
    };
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at(0, 7));
    EXPECT_EQ(view.CaretLine(), 0);
    EXPECT_EQ(view.CaretColumn(), 7);
    EXPECT_TRUE(view.hasFocus());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, at(1, 3));
    EXPECT_EQ(view.SelectedText(), "eta gamma\r\nsec");
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, at(0, 12));
    EXPECT_EQ(view.SelectedText(), "gamma");

    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, at(1, 0));
    QTest::mouseMove(view.viewport(), at(1, 6));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, Qt::ControlModifier, at(1, 6));
    EXPECT_EQ(view.SelectedText(), "second");
    EXPECT_GE(downs, 4);
    EXPECT_GE(moves, 1);
    ASSERT_FALSE(ups.empty());
    EXPECT_TRUE(ups.back());

    // Dragging below the view scrolls it and extends the selection there.
    for (int i = 0; i < 100; ++i) {
        AppendRecord(view, "", "more");
    }
    view.FlushPaint();
    view.verticalScrollBar()->setValue(0);
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, at(0, 0));
    QTest::mouseMove(view.viewport(), QPoint(20, view.viewport()->height() + 20));
    EXPECT_GT(view.verticalScrollBar()->value(), 0);
    EXPECT_GT(view.CaretLine(), 0);
    QTest::mouseMove(view.viewport(), QPoint(20, -20));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, QPoint(20, -20));
    EXPECT_EQ(view.SelectionStart(), 0);
}

TEST_F(RichViewTest, StyledTextRoundTripsAndReadsBackAsLatin1) {
    TextStyle red{0x0000FF, "Courier New", 18, false, 0};
    TextStyle big{0x00FF00, "Liberation Sans", 28, true, 0};
    TextStyle cjk{0x123456, "Noto Sans CJK SC", 24, false, 134};
    const StyledText text = {{"red ", red}, {"BIG\n\n", big}, {"\xE4\xB8\xAD\xE6\x96\x87 ok", cjk}};
    view.SetStyledText(text);
    EXPECT_EQ(view.ToStyledText(), text);
    EXPECT_EQ(view.LineCount(), 3);
    EXPECT_EQ(view.LineText(2), "?? ok");
    EXPECT_EQ(view.CaretLine(), 0);
    EXPECT_FALSE(view.CanUndo());

    // Inserting styled text replaces the selection and can be undone.
    view.SetSelection(0, 3);
    view.InsertStyledText({{"01 02", red}, {" A5", big}});
    EXPECT_EQ(view.LineText(0), "01 02 A5 BIG");
    const StyledText selection = (view.SetSelection(0, 8), view.SelectionToStyledText());
    EXPECT_EQ(selection, (StyledText{{"01 02", red}, {" A5", big}}));
    view.Undo();
    EXPECT_EQ(view.ToStyledText(), text);

    // Typing continues in the style before the caret; a colour set without a selection
    // applies to what is typed next.
    view.SetCaret(0, 3);
    EXPECT_EQ(view.CaretStyle(), red);
    view.SetSelectionColor(0x00AA00);
    view.setFocus();
    QTest::keyClicks(&view, "g");
    view.SetSelection(3, 1);
    EXPECT_EQ(view.SelectionToStyledText()[0].style.color, 0x00AA00u);
    view.SetSelection(0, 2);
    view.SetSelectionColor(0x111111);
    EXPECT_EQ(view.SelectionToStyledText()[0].style.color, 0x111111u);
    EXPECT_EQ(view.LineText(0), "redg BIG");
}

TEST_F(RichViewTest, WordWrapReflowsWithoutChangingTheText) {
    std::string payload;
    for (int i = 0; i < 200; ++i) {
        payload += "A5 ";
    }
    AppendRecord(view, "[R x] ", payload);
    AppendRecord(view, "", "short");
    const StyledText before = view.ToStyledText();
    EXPECT_EQ(view.VisualLineCount(), 2);

    view.SetWordWrap(true);
    EXPECT_TRUE(view.WordWrap());
    EXPECT_GT(view.VisualLineCount(), 5);
    EXPECT_EQ(view.LineCount(), 2);
    EXPECT_EQ(view.ToStyledText(), before);
    // Rows break after a blank, so no byte pair is split.
    view.SetCaret(0, 0);
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_EQ(view.CaretLine(), 0);
    EXPECT_EQ((view.CaretColumn() - 6) % 3, 2);
    QTest::keyClick(&view, Qt::Key_Down);
    EXPECT_EQ(view.CaretLine(), 0);
    view.resize(200, 200);
    const int narrow = view.VisualLineCount();
    view.resize(600, 200);
    EXPECT_LT(view.VisualLineCount(), narrow);

    view.SetWordWrap(false);
    EXPECT_EQ(view.VisualLineCount(), 2);
    EXPECT_EQ(view.ToStyledText(), before);
}

TEST_F(RichViewTest, CapacityChangedSignalAndFocus) {
    QSignalSpy changes(&view, &RichView::changed);
    QSignalSpy focus(&view, &RichView::focusIn);
    view.SetMaxLength(10);
    AppendRecord(view, "[R x] ", "0123456789");
    EXPECT_EQ(changes.count(), 2);
    EXPECT_EQ(view.TextLength(), 10);
    EXPECT_EQ(view.LineText(0), "[R x] 0123");
    view.Clear();
    EXPECT_EQ(changes.count(), 3);

    view.clearFocus();
    EXPECT_FALSE(view.HasFocus());
    view.SetFocus();
    EXPECT_TRUE(view.HasFocus());
    EXPECT_GE(focus.count(), 1);
}

TEST_F(RichViewTest, PaintsTheColoursOfTheVisibleText) {
    view.SetBackgroundColor(0xE6E6E6);
    std::string longPayload(100000, 'W');
    AppendRecord(view, "[R x] ", longPayload, {"Courier New", 0, 0x0000FF});  // red
    AppendRecord(view, "", "\x01\x02 control", {"Courier New", 0, 0xFF0000}); // blue
    view.FlushPaint();
    const auto count = [](const QImage& image, auto predicate) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                n += predicate(QColor(image.pixel(x, y))) ? 1 : 0;
            }
        }
        return n;
    };
    const auto reddish = [](QColor c) {
        return c.red() > 150 && c.green() < 100 && c.blue() < 100;
    };
    const auto bluish = [](QColor c) { return c.blue() > 150 && c.red() < 100 && c.green() < 100; };
    QImage image = view.viewport()->grab().toImage();
    EXPECT_GT(count(image, reddish), 20);
    EXPECT_GT(count(image, bluish), 20);
    EXPECT_EQ(QColor(image.pixel(image.width() - 2, image.height() - 2)), QColor(0xE6, 0xE6, 0xE6));

    // Scrolled into the middle of the long line, its columns are still drawn.
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->maximum() / 2);
    image = view.viewport()->grab().toImage();
    EXPECT_GT(count(image, reddish), 20);
    EXPECT_EQ(count(image, bluish), 0);
}

} // namespace

// The caret blinks for ten seconds after the last key, click or focus, then stays shown
// and its timer stops. Each case restarts the blink at a moment (0: never) and looks at
// when it stops.
TEST(CaretBlink, StopsShownTenSecondsAfterTheLastInput) {
    struct Case {
        int restartAtMs; // 0: no restart
        int expectStopMs;
    };
    const Case cases[] = {
        {0, 10000},
        {500, 10500},   // while the caret is hidden
        {9500, 19500},  // just before the blink would have stopped
        {12000, 22000}, // after it stopped: it blinks anew
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.restartAtMs);
        TCaretBlink blink;
        bool running = true;
        bool expectOn = true;
        int stoppedAt = -1;
        for (int t = TCaretBlink::PeriodMs; t <= 30000; t += TCaretBlink::PeriodMs) {
            if (c.restartAtMs != 0 && t - TCaretBlink::PeriodMs == c.restartAtMs) {
                blink.Restart();
                EXPECT_TRUE(blink.On());
                running = true;
                expectOn = true;
            }
            if (!running) {
                continue; // a stopped timer ticks no more
            }
            running = blink.Tick();
            expectOn = !expectOn;
            EXPECT_EQ(blink.On(), expectOn) << "at " << t << " ms";
            if (!running) {
                stoppedAt = t;
                EXPECT_TRUE(blink.On()) << "the caret stays shown";
            }
        }
        EXPECT_EQ(stoppedAt, c.expectStopMs);
    }
}
