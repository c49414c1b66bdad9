#pragma once
// korvane-cli --values: the numbers in the traffic (text readings such as "temp:21.5", with
// --decode modbus the registers of the frames, with --values-field binary fields of the
// received records) written as CSV while they arrive, to a file that rotates like the log,
// or to standard output.

#include "protocol/ModbusRtu.h"
#include "protocol/Values.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TTerminalView;
class TTrafficCapture;
struct TTimedRecord;

struct TValuesOptions {
    // A file, or "-" for standard output.
    std::string path;
    // A row per time with a column per series (a new header row when a series appears),
    // instead of a row per sample.
    bool wide = false;
    uint64_t rotateBytes = 0;
    // Registers of decoded frames instead of text readings.
    bool modbus = false;
    TModbusValueFormat format = TModbusValueFormat::U16;
    // Binary fields of each received record; when given, these are the values.
    std::vector<TBinaryField> fields;
};

class TValuesOutput {
public:
    // Creates the file at once; throws EFileError naming it and the reason.
    explicit TValuesOutput(const TValuesOptions& options);
    ~TValuesOutput();
    TValuesOutput(const TValuesOutput&) = delete;
    TValuesOutput& operator=(const TValuesOutput&) = delete;

    bool ToStandardOutput() const { return m_options.path == "-"; }
    // A record as shown; frames: the Modbus frames it completed (with --decode).
    void Record(const TTimedRecord& record, const std::vector<TModbusFrame>* frames,
                TTerminalView& view);
    // The end of the traffic: a last reading without its line end counts too.
    void Finish(TTerminalView& view);
    // Writes what is queued and closes the file; the first write error, or empty.
    std::string Close();
    std::string CurrentFile() const;
    uint64_t Samples() const { return m_samples; }

private:
    void Write(TTerminalView& view);
    void Emit(const std::string& row, bool header, TTerminalView& view);

    TValuesOptions m_options;
    TSeriesNames m_names;
    TTextValueSource m_text;
    TModbusValueSource m_modbus;
    TBinaryValueSource m_binary;
    std::vector<TValueSample> m_batch;
    std::unique_ptr<TTrafficCapture> m_file;
    size_t m_headerSeries = 0;
    bool m_headerWritten = false;
    uint64_t m_samples = 0;
};
