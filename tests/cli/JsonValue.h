#pragma once
// A strict reader of one JSON text for tests that check the program's JSON output: it
// refuses what a JSON reader would refuse (trailing commas, bad escapes, bare words, text
// after the value), so a test that reads a line proves the line is JSON.

#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool Has(const std::string& key) const { return members.count(key) != 0; }
    const JsonValue& operator[](const std::string& key) const { return members.at(key); }
    const JsonValue& operator[](size_t index) const { return items.at(index); }
};

class JsonReader {
public:
    static std::optional<JsonValue> Parse(std::string_view text) {
        JsonReader reader(text);
        JsonValue value;
        if (!reader.Value(value, 0)) {
            return std::nullopt;
        }
        reader.Blank();
        if (reader.m_at != text.size()) {
            return std::nullopt;
        }
        return value;
    }

private:
    explicit JsonReader(std::string_view text) : m_text(text) {}

    void Blank() {
        while (m_at < m_text.size() &&
               std::string_view(" \t\r\n").find(m_text[m_at]) != std::string_view::npos) {
            ++m_at;
        }
    }
    bool Take(char c) {
        Blank();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) {
            return false;
        }
        m_at += word.size();
        return true;
    }
    bool String(std::string& out) {
        if (!Take('"')) {
            return false;
        }
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size()) {
                return false;
            }
            const char e = m_text[m_at++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meant = "\"\\/\b\f\n\r\t";
            if (const size_t i = simple.find(e); i != std::string_view::npos) {
                out += meant[i];
            } else if (e == 'u' && m_at + 4 <= m_text.size()) {
                const std::string digits(m_text.substr(m_at, 4));
                for (const char d : digits) {
                    if (!std::isxdigit(static_cast<unsigned char>(d))) {
                        return false;
                    }
                }
                const unsigned long code = std::strtoul(digits.c_str(), nullptr, 16);
                if (code >= 0x100) {
                    return false; // the program writes only 8-bit characters this way
                }
                out += static_cast<char>(code);
                m_at += 4;
            } else {
                return false;
            }
        }
        return false;
    }
    bool Value(JsonValue& v, int depth) {
        Blank();
        if (depth > 32 || m_at >= m_text.size()) {
            return false;
        }
        const char c = m_text[m_at];
        if (c == '{') {
            v.type = JsonValue::Type::Object;
            ++m_at;
            if (Take('}')) {
                return true;
            }
            do {
                std::string key;
                JsonValue member;
                if (!String(key) || !Take(':') || !Value(member, depth + 1) ||
                    v.members.count(key) != 0) {
                    return false;
                }
                v.members.emplace(std::move(key), std::move(member));
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            v.type = JsonValue::Type::Array;
            ++m_at;
            if (Take(']')) {
                return true;
            }
            do {
                v.items.emplace_back();
                if (!Value(v.items.back(), depth + 1)) {
                    return false;
                }
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            v.type = JsonValue::Type::String;
            return String(v.text);
        }
        if (Word("null")) {
            v.type = JsonValue::Type::Null;
            return true;
        }
        if (Word("true") || Word("false")) {
            v.type = JsonValue::Type::Bool;
            v.boolean = m_text[m_at - 1] == 'e' && m_text[m_at - 2] == 'u';
            return true;
        }
        // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const size_t start = m_at;
        const auto digits = [&] {
            const size_t from = m_at;
            while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at]))) {
                ++m_at;
            }
            return m_at - from;
        };
        Word("-");
        const size_t first = m_at;
        const size_t whole = digits();
        if (whole == 0 || (whole > 1 && m_text[first] == '0')) {
            return false;
        }
        if (Word(".") && digits() == 0) {
            return false;
        }
        if (Word("e") || Word("E")) {
            if (!Word("+")) {
                Word("-");
            }
            if (digits() == 0) {
                return false;
            }
        }
        v.type = JsonValue::Type::Number;
        v.number = std::strtod(std::string(m_text.substr(start, m_at - start)).c_str(), nullptr);
        return true;
    }

    std::string_view m_text;
    size_t m_at = 0;
};
