#include "ui/main/AppOptions.h"

#include "codec/ChecksumNames.h"
#include "protocol/ModbusRtu.h"
#include "serial/OruScomm.h"
#include "ui/main/DockLayout.h"

#include <algorithm>

TAppOptions TAppOptions::Read(const TIniFile& ini) {
    TAppOptions o;
    o.allCommands = ini.BoolValue(Section, QStringLiteral("AllCommands"), o.allCommands);
    o.reconnectAutomatically =
        ini.BoolValue(Section, QStringLiteral("ReconnectAutomatically"), o.reconnectAutomatically);
    o.checkReceivedChecksum =
        ini.BoolValue(Section, QStringLiteral("CheckReceivedChecksum"), o.checkReceivedChecksum);
    const QString received = ini.Value(Section, QStringLiteral("ReceivedChecksum"));
    if (ChecksumChoiceNamed(received.toStdString())) {
        o.receivedChecksum = received;
    }
    // A budget below a few MiB would drop lines the user is still reading.
    o.viewMemoryBudgetMB = std::max(
        16, ini.IntValue(Section, QStringLiteral("ViewMemoryBudgetMB"), o.viewMemoryBudgetMB));
    o.captureRotateMB =
        std::max(1, ini.IntValue(Section, QStringLiteral("CaptureRotateMB"), o.captureRotateMB));
    // Above the read window the gap changes nothing; a negative one is the default.
    o.recordGapMs = std::clamp(ini.IntValue(Section, QStringLiteral("RecordGapMs"), o.recordGapMs),
                               0, int(TOruScomm::ReadWindowMs));
    const QString decode = ini.Value(Section, QStringLiteral("Decode"), o.decode);
    if (decode == QStringLiteral("modbus")) {
        o.decode = decode;
    }
    const QString values = ini.Value(Section, QStringLiteral("ModbusValues"), o.modbusValues);
    if (ModbusValueFormatNamed(values.toStdString())) {
        o.modbusValues = values;
    }
    const QString plotSource = ini.Value(Section, QStringLiteral("PlotSource"));
    if (plotSource == QStringLiteral("modbus") || plotSource == QStringLiteral("binary")) {
        o.plotSource = plotSource;
    }
    // Read by the plot, which keeps its own when these are not a field or a range.
    o.plotField = ini.Value(Section, QStringLiteral("PlotField"), o.plotField);
    o.plotRange = ini.Value(Section, QStringLiteral("PlotRange"), o.plotRange);
    o.scriptFile = ini.Value(Section, QStringLiteral("ScriptFile"), o.scriptFile);
    bool colorRead = false;
    const uint32_t tapColor =
        ini.Value(Section, QStringLiteral("TapTextColor")).toUInt(&colorRead, 16);
    if (colorRead && tapColor <= 0xFFFFFF) {
        o.tapTextColor = tapColor;
    }
    return o;
}

void TAppOptions::Write(TIniFile& ini) const {
    const auto flag = [](bool b) { return b ? QStringLiteral("1") : QStringLiteral("0"); };
    ini.SetValue(Section, QStringLiteral("AllCommands"), flag(allCommands));
    ini.SetValue(Section, QStringLiteral("ReconnectAutomatically"), flag(reconnectAutomatically));
    ini.SetValue(Section, QStringLiteral("CheckReceivedChecksum"), flag(checkReceivedChecksum));
    ini.SetValue(Section, QStringLiteral("ReceivedChecksum"), receivedChecksum);
    ini.SetValue(Section, QStringLiteral("ViewMemoryBudgetMB"),
                 QString::number(viewMemoryBudgetMB));
    ini.SetValue(Section, QStringLiteral("CaptureRotateMB"), QString::number(captureRotateMB));
    ini.SetValue(Section, QStringLiteral("RecordGapMs"), QString::number(recordGapMs));
    ini.SetValue(Section, QStringLiteral("Decode"), decode);
    ini.SetValue(Section, QStringLiteral("ModbusValues"), modbusValues);
    ini.SetValue(Section, QStringLiteral("PlotSource"), plotSource);
    ini.SetValue(Section, QStringLiteral("PlotField"), plotField);
    ini.SetValue(Section, QStringLiteral("PlotRange"), plotRange);
    ini.SetValue(Section, QStringLiteral("ScriptFile"), scriptFile);
    ini.SetValue(Section, QStringLiteral("TapTextColor"),
                 QStringLiteral("%1").arg(tapTextColor, 6, 16, QLatin1Char('0')).toUpper());
}
