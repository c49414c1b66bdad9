#include "serial/TelnetCodec.h"

namespace Telnet {

std::string Escape(const void* data, size_t size) {
    const auto* in = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(size + size / 64 + 8);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<char>(in[i]));
        if (in[i] == Iac) {
            out.push_back(static_cast<char>(Iac));
        }
    }
    return out;
}

std::string ComPortCommand(uint8_t command, const std::string& value) {
    std::string out{static_cast<char>(Iac), static_cast<char>(Sb), static_cast<char>(OptComPort),
                    static_cast<char>(command)};
    out += Escape(value.data(), value.size());
    out.push_back(static_cast<char>(Iac));
    out.push_back(static_cast<char>(Se));
    return out;
}

void TDecoder::Feed(const uint8_t* in, size_t size, std::string& data,
                    std::vector<TNegotiation>& negotiations, std::vector<TCommand>& commands) {
    // A sub-negotiation of the com-port option is a few bytes; anything longer is not one
    // we use and is not kept whole.
    constexpr size_t SubLimit = 64;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = in[i];
        switch (m_state) {
        case TState::Data:
            if (b == Iac) {
                m_state = TState::Command;
            } else {
                data.push_back(static_cast<char>(b));
            }
            break;
        case TState::Command:
            if (b == Iac) {
                data.push_back(static_cast<char>(Iac));
                m_state = TState::Data;
            } else if (b == Will || b == Wont || b == Do || b == Dont) {
                m_verb = b;
                m_state = TState::Verb;
            } else if (b == Sb) {
                m_sub.clear();
                m_subOverflow = false;
                m_state = TState::Sub;
            } else {
                m_state = TState::Data; // NOP, GA and the other two-byte commands
            }
            break;
        case TState::Verb:
            negotiations.push_back({m_verb, b});
            m_state = TState::Data;
            break;
        case TState::Sub:
            if (b == Iac) {
                m_state = TState::SubCommand;
            } else if (m_sub.size() < SubLimit) {
                m_sub.push_back(static_cast<char>(b));
            } else {
                m_subOverflow = true;
            }
            break;
        case TState::SubCommand:
            if (b == Iac) {
                if (m_sub.size() < SubLimit) {
                    m_sub.push_back(static_cast<char>(Iac));
                }
                m_state = TState::Sub;
                break;
            }
            // IAC SE ends it; any other command after IAC ends it as well (a peer that
            // broke the rule), and the stream goes on as data.
            if (!m_subOverflow && m_sub.size() >= 2 &&
                static_cast<uint8_t>(m_sub[0]) == OptComPort) {
                commands.push_back({static_cast<uint8_t>(m_sub[1]), m_sub.substr(2)});
            }
            m_state = TState::Data;
            break;
        }
    }
}

std::string ClientHello() {
    std::string hello;
    for (uint8_t option : HelloWill) {
        hello +=
            std::string{static_cast<char>(Iac), static_cast<char>(Will), static_cast<char>(option)};
    }
    for (uint8_t option : HelloDo) {
        hello +=
            std::string{static_cast<char>(Iac), static_cast<char>(Do), static_cast<char>(option)};
    }
    return hello;
}

} // namespace Telnet
