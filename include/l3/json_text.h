#pragma once
// Writing JSON by hand (the l3 commands' reports, l3 info's object): strings are escaped
// here, numbers printed by the caller.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

namespace l3 {

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

// Appends printf's text for format and the values after it (numbers, names).
inline void appendFormat(std::string& out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
inline void appendFormat(std::string& out, const char* format, ...) {
    std::va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(length) + 1);
        std::vsnprintf(out.data() + at, static_cast<size_t>(length) + 1, format, again);
        out.resize(at + static_cast<size_t>(length));
    }
    va_end(again);
}

// Writes s as a JSON string, as appendJsonString makes it.
inline void putJsonString(FILE* out, std::string_view s) {
    std::string text;
    appendJsonString(text, s);
    std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace l3
