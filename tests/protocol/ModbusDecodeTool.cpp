// Decodes records given on standard input, one per line: "tx|rx TIME_MS HEX...". Prints one
// JSON object per frame. Options: --sniff, --values FORMAT. Used by the pymodbus check.
#include "codec/HexCodec.h"
#include "protocol/ModbusRtu.h"

#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    bool sniff = false;
    TModbusValueFormat format = TModbusValueFormat::U16;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sniff") {
            sniff = true;
        } else if (arg == "--values" && i + 1 < argc) {
            const auto named = ModbusValueFormatNamed(argv[++i]);
            if (!named) {
                std::cerr << "unknown value format\n";
                return 2;
            }
            format = *named;
        } else {
            std::cerr << "usage: modbus_decode [--sniff] [--values FORMAT] < records\n";
            return 2;
        }
    }
    TModbusRtuDecoder decoder(sniff);
    std::vector<TModbusFrame> frames;
    auto print = [&] {
        for (const auto& frame : frames) {
            std::cout << ModbusFrameJson(frame, format) << '\n';
        }
        frames.clear();
    };
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream fields(line);
        std::string direction;
        uint64_t time = 0;
        fields >> direction >> time;
        std::string hex;
        std::getline(fields, hex);
        const std::string bytes = HexToBytes(NormalizeHex(hex));
        decoder.Feed(direction == "tx" ? TModbusDirection::Sent : TModbusDirection::Received, time,
                     bytes, frames);
        print();
    }
    decoder.Finish(frames);
    print();
    return 0;
}
