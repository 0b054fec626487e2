#pragma once
// Outside programs the tests use to make and judge streams. A fresh machine may lack them:
// a test that needs one skips, naming the program and the Debian package that brings it.
// .ci/run installs every such package, so CI runs every test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace l3test {

struct OutsideTool {
    std::string_view program;
    std::string_view package;
};

inline constexpr OutsideTool kOutsideTools[] = {
    {"mpg123", "mpg123"}, {"lame", "lame"},       {"sox", "sox"},       {"mp3gain", "mp3gain"},
    {"mp3val", "mp3val"}, {"python3", "python3"}, {"ffmpeg", "ffmpeg"}, {"madplay", "madplay"},
    {"script", "bsdutils"},
};

inline std::string_view packageOf(std::string_view program) {
    for (const OutsideTool& tool : kOutsideTools)
        if (tool.program == program) return tool.package;
    return program;
}

// True when program is on PATH; looked up once per program and process.
inline bool toolInstalled(const std::string& program) {
    const std::string command = "command -v " + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace l3test

// Skips the rest of the test (or, in SetUpTestSuite, the whole suite) when program is
// missing.
#define L3_REQUIRE_TOOL(program)                                                   \
    do {                                                                           \
        if (!l3test::toolInstalled(program))                                       \
            GTEST_SKIP() << (program) << " is not installed; the Debian package '" \
                         << l3test::packageOf(program) << "' brings it";           \
    } while (0)
