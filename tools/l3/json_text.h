#pragma once
// Writing JSON by hand: strings are escaped here, numbers printed by the caller.

#include <cstdio>
#include <string_view>

namespace l3tool {

// Writes s as a JSON string, quotes included; control bytes become \u00XX.
inline void putJsonString(FILE* out, std::string_view s) {
    std::fputc('"', out);
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            std::fprintf(out, "\\%c", c);
        else if (u < 0x20)
            std::fprintf(out, "\\u%04x", u);
        else
            std::fputc(c, out);
    }
    std::fputc('"', out);
}

}  // namespace l3tool
