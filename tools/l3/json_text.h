#pragma once
// Writing JSON by hand: strings are escaped here, numbers printed by the caller.

#include <cstdio>
#include <string>
#include <string_view>

namespace l3tool {

// Appends s as a JSON string, quotes included; control bytes become \u00XX, other bytes
// (a file name need not be UTF-8) go as they are.
inline void appendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

// Writes s as a JSON string, as appendJsonString makes it.
inline void putJsonString(FILE* out, std::string_view s) {
    std::string text;
    appendJsonString(text, s);
    std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace l3tool
