#pragma once
// Loading a file into a view, as File > Open, the command-line file and the send window's
// saved text do: only a regular file, only as large as the view can hold, and a long read
// and parse off the user-interface thread, with progress shown and a way to cancel.

#include "richtext/RichText.h"
#include "ui/main/TrafficTrim.h"

#include <cstdint>
#include <optional>
#include <string>

class QString;
class QWidget;
class RichView;

// The largest file a view loads: a file of N bytes gives at most N characters, and a view
// keeps at most its capacity in characters and its memory budget (stored as two bytes a
// character).
uint64_t ViewLoadLimit(int64_t capacityCharacters, int memoryBudgetMB);

// The file as styled text. A file smaller than 256 KiB is read at once; a larger one is
// read and parsed on a worker thread while the event loop runs and a progress dialog
// (shown after half a second, modal to `parent`) offers Cancel. Returns std::nullopt when
// the user cancelled. Throws EFileError: missing, not a regular file, larger than `limit`,
// unreadable.
std::optional<StyledText> LoadStyledFile(QWidget* parent, const std::string& path, uint64_t limit,
                                         const TextStyle& plainStyle);

// What of a file's text the traffic view can show: the view keeps at most its line cap,
// its memory budget and its capacity (less the room it keeps for a burst), so a larger
// file shows only its last lines, and the user is asked first.
struct TFileFit {
    int64_t lines = 0;      // in the file, as the view counts them (not an empty last one)
    int64_t firstShown = 0; // the first line the view can hold; 0: the whole file fits
    int64_t Shown() const { return lines - firstShown; }
};
TFileFit FitFileToView(const StyledText& text, const TTrafficLimits& limits,
                       int64_t capacityCharacters);
// The text from line firstLine on ("\n" ends a line).
StyledText StyledFromLine(const StyledText& text, int64_t firstLine);
// The same, cut in place: only the rest of the first line's run is copied, and what goes
// is given back to the system gradually.
void CutBeforeLine(StyledText& text, int64_t firstLine);
// Frees a text that may be hundreds of MB without holding up the window's thread: a large
// one is freed on a worker while the event loop runs.
void FreeStyledText(StyledText& text);
// FitFileToView, and the text cut to the lines the view can show (before the user is
// asked: the cut is made where the file is read, so the window's thread is spared both).
TFileFit FitAndCut(StyledText& text, const TTrafficLimits& limits, int64_t capacityCharacters);

// A file for the traffic view: its text from the first line the view can show on, and
// what of the file that is.
struct TFittedFile {
    StyledText text;
    TFileFit fit;
};
// LoadStyledFile, with FitAndCut made on the worker too.
std::optional<TFittedFile> LoadFittedFile(QWidget* parent, const std::string& path, uint64_t limit,
                                          const TextStyle& plainStyle, const TTrafficLimits& limits,
                                          int64_t capacityCharacters);

// Puts text at the end of a view's own text in slices, with the events handled between
// them, so that the window goes on answering while a large file goes in. Each slice holds
// at most `TFillSlice` of the text and ends at a line end where one is in reach. A
// progress dialog (after half a second, modal to `parent`) offers Cancel: the filling
// stops after the slice in hand and a line left part-way is taken out again, so the view
// holds whole lines of the file. What arrives in the view meanwhile (traffic, which is
// appended at the end) stays after the file's text. The view tells of no change until
// the filling ends.
struct TFillSlice {
    int64_t characters = 256 * 1024;
    int64_t lines = 8192;
    int64_t runs = 8192;
};
struct TFillOutcome {
    int64_t lines = 0;  // lines of the text in the view, as the view counts them
    int64_t slices = 0; // how many slices it took
    bool cancelled = false;
};
TFillOutcome FillViewInSlices(QWidget* parent, RichView& view, const StyledText& text,
                              const QString& caption, const TFillSlice& slice = {});
