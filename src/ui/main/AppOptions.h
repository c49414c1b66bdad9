#pragma once
// Choices of our own that the 1296-byte settings record has no room for. They live in
// "config.ini" under [Options], so the record stays exactly as every copy of the program
// reads and writes it. A missing or unreadable key keeps its default; a new choice is a
// field here plus a line in Read and Write.

#include <QString>

#include <cstdint>

class TIniFile;

struct TAppOptions {
    static inline const QString Section = QStringLiteral("Options");

    // View > All Commands: every built command shown, not only the shipped layout.
    bool allCommands = false;
    // Tools > Reconnect Automatically: reopen a port that went away when it returns.
    bool reconnectAutomatically = true;
    // View > Check Received Checksum, and the computation it checks (a ChecksumChoices
    // name, chosen in its own submenu). Empty: the send window's choice at the next start,
    // kept from then on.
    bool checkReceivedChecksum = false;
    QString receivedChecksum;
    // The traffic view's text budget in MiB; the oldest lines go first past it.
    int viewMemoryBudgetMB = 256;
    // Continuous capture: size in MiB at which the capture file moves to a numbered one.
    int captureRotateMB = 100;
    // End a received burst after this many ms of silence; 0: at the 100 ms read window.
    int recordGapMs = 0;

    // View > Decode: "none" or "modbus" (Modbus RTU frames under the traffic lines), and
    // how their register values are shown (a ModbusValueFormatName).
    QString decode = QStringLiteral("none");
    QString modbusValues = QStringLiteral("u16");
    // View > Plot: where the values come from, "text" (readings in received lines),
    // "modbus" (registers of decoded frames) or "binary" (the field below of each received
    // frame); the binary field in korvane-cli's --values-field form; the typed value range
    // "low,high" (empty: autoscale).
    QString plotSource = QStringLiteral("text");
    QString plotField;
    QString plotRange;
    // Tools > Scripts...: the chosen script. Kept for the next session, never started
    // without the user's Start.
    QString scriptFile;
    // Colour of the lines of a tapped second port (File > Tap a Second Port...), 0x00BBGGRR
    // like the record's colours: chosen in the colours dialog. DefaultTapTextColor.
    uint32_t tapTextColor = 0x00008000;

    static TAppOptions Read(const TIniFile& ini);
    void Write(TIniFile& ini) const;
};
