#include "cli/ValuesOutput.h"

#include "cli/RecordOutput.h"
#include "cli/TerminalView.h"
#include "traffic/TrafficCapture.h"

#include <iostream>
#include <optional>

TValuesOutput::TValuesOutput(const TValuesOptions& options)
    : m_options(options), m_text(m_names), m_modbus(m_names), m_binary(m_names, options.fields) {
    m_modbus.SetFormat(options.format);
    if (!ToStandardOutput()) {
        TCaptureOptions capture;
        capture.path = options.path;
        capture.rotateBytes = options.rotateBytes;
        m_file = std::make_unique<TTrafficCapture>(capture);
    }
}

TValuesOutput::~TValuesOutput() = default;

void TValuesOutput::Record(const TTimedRecord& record, const std::vector<TModbusFrame>* frames,
                           TTerminalView& view) {
    m_batch.clear();
    if (!m_options.fields.empty()) {
        if (record.direction == 'R') {
            m_binary.Feed(record.timeMs, 0, reinterpret_cast<const uint8_t*>(record.bytes.data()),
                          record.bytes.size(), m_batch);
        }
    } else if (m_options.modbus) {
        if (frames != nullptr) {
            for (const TModbusFrame& frame : *frames) {
                m_modbus.Feed(frame, 0, m_batch);
            }
        }
    } else if (record.direction == 'R') {
        m_text.Feed(record.timeMs, 0, record.bytes, m_batch);
    }
    Write(view);
}

void TValuesOutput::Finish(TTerminalView& view) {
    m_batch.clear();
    m_text.Finish(m_batch);
    Write(view);
}

void TValuesOutput::Emit(const std::string& row, bool header, TTerminalView& view) {
    if (!m_file) {
        view.AppendOwnLine(row, std::nullopt);
    } else if (header) {
        m_file->AppendHeader(row);
    } else {
        m_file->Append(row + "\n", 0);
    }
}

void TValuesOutput::Write(TTerminalView& view) {
    for (const std::string& message : m_names.TakeMessages()) {
        std::cerr << "korvane-cli: --values: " << message << "\n";
    }
    if (m_batch.empty()) {
        return;
    }
    m_samples += m_batch.size();
    const std::vector<std::string>& names = m_names.Names();
    if (!m_options.wide) {
        if (!m_headerWritten) {
            Emit("time,series,value", true, view);
            m_headerWritten = true;
        }
        for (const TValueSample& sample : m_batch) {
            Emit(SampleTimeText(sample.timeMs) + "," + CsvField(names.at(sample.series)) + "," +
                     SampleValueText(sample.value),
                 false, view);
        }
        return;
    }
    if (names.size() > m_headerSeries) {
        std::string header = "time";
        for (const std::string& name : names) {
            header += "," + CsvField(name);
        }
        Emit(header, true, view);
        m_headerSeries = names.size();
    }
    // A row per time; a series seen twice at one time starts another row.
    std::vector<std::optional<double>> row(m_headerSeries);
    uint64_t rowTime = m_batch.front().timeMs;
    const auto flush = [&] {
        std::string text = SampleTimeText(rowTime);
        for (std::optional<double>& value : row) {
            text += ",";
            if (value) {
                text += SampleValueText(*value);
            }
            value.reset();
        }
        Emit(text, false, view);
    };
    for (const TValueSample& sample : m_batch) {
        if (sample.timeMs != rowTime || row[sample.series]) {
            flush();
            rowTime = sample.timeMs;
        }
        row[sample.series] = sample.value;
    }
    flush();
}

std::string TValuesOutput::Close() {
    if (!m_file) {
        return {};
    }
    m_file->Close();
    return m_file->ErrorText();
}

std::string TValuesOutput::CurrentFile() const {
    return m_file ? m_file->CurrentFile() : std::string("-");
}
