#include <string>

#include "command.h"

namespace l3tool {

int exitCode(l3::Status status) {
    using l3::Status;
    switch (status) {
    case Status::ok: return 0;
    case Status::usage: return 1;
    case Status::io:
    case Status::writeFailed: return 2;
    case Status::notLayer3: return 3;
    case Status::damaged:
    case Status::cutShort:
    case Status::badRecord:
    case Status::cannotCarry:
    case Status::noUndo: return 4;
    case Status::cannotFit:
    case Status::outOfRange:
    case Status::cannotLay:
    case Status::mismatch: return 5;
    case Status::verify:
    case Status::inexact: return 6;
    case Status::badValue:
    case Status::tagRefused: return 7;
    }
    return 6;
}

namespace {

const Command kCommands[] = {
    {"info", "summarise a stream: format, duration, bit rate, reservoir, tags, Xing/LAME",
     kInfoUsage, runInfo},
    {"check", "decode every frame and name what is damaged", kCheckUsage, runCheck},
    {"repack", "rewrite in the smallest lossless layout; CBR, CRC and bit-rate choices",
     kRepackUsage, runRepack},
    {"gain", "change the volume in 1.5 dB steps without decoding; undo information kept",
     kGainUsage, runGain},
    {"cut", "write a part of a stream, sample-exact, without decoding", kCutUsage, runCut},
    {"split", "write a stream as consecutive sample-exact pieces", kSplitUsage, runSplit},
    {"join", "write several streams as one, the reservoir laid across each seam", kJoinUsage,
     runJoin},
};

}  // namespace

std::span<const Command> commands() {
    return kCommands;
}

const Command* findCommand(std::string_view name) {
    for (const Command& c : kCommands)
        if (c.name == name) return &c;
    return nullptr;
}

int usageError(const Command& command, const char* message, std::string_view argument) {
    std::fprintf(stderr, "l3 %.*s: %s%.*s\n", static_cast<int>(command.name.size()),
                 command.name.data(), message, static_cast<int>(argument.size()), argument.data());
    const std::string_view usage = command.usage;
    const std::string_view first = usage.substr(0, usage.find('\n'));
    std::fprintf(stderr, "%.*s\nSee 'l3 help %.*s'.\n", static_cast<int>(first.size()),
                 first.data(), static_cast<int>(command.name.size()), command.name.data());
    return kExitUsage;
}

bool helpRequested(const Command& command, std::span<char* const> args) {
    for (const char* a : args) {
        const std::string_view arg = a;
        if (arg == "-h" || arg == "--help") {
            std::fwrite(command.usage.data(), 1, command.usage.size(), stdout);
            return true;
        }
    }
    return false;
}

}  // namespace l3tool
