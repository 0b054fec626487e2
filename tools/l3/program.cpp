// The l3 program's dispatch: the command named first, its help, or the program's own.

#include <cstdio>
#include <span>
#include <string_view>

#include "command.h"

namespace l3tool {

namespace {

void printHelp(FILE* out) {
    std::fprintf(out,
                 "usage: l3 COMMAND [OPTIONS] ARGS\n"
                 "       l3 help COMMAND | l3 COMMAND --help | l3 --version\n\ncommands:\n");
    for (const Command& c : commands())
        std::fprintf(out, "  %-8.*s %.*s\n", static_cast<int>(c.name.size()), c.name.data(),
                     static_cast<int>(c.summary.size()), c.summary.data());
}

int unknownCommand(std::string_view name) {
    std::fprintf(stderr, "l3: '%.*s' is not an l3 command; see 'l3 --help'\n",
                 static_cast<int>(name.size()), name.data());
    return kExitUsage;
}

}  // namespace

int runProgram(std::span<char* const> args) {
    if (args.empty()) {
        printHelp(stderr);
        return kExitUsage;
    }
    const std::string_view first = args[0];
    if (first == "--help" || first == "-h") {
        printHelp(stdout);
        return kExitOk;
    }
    if (first == "--version") {
        std::printf("l3 %s\n", L3_VERSION);
        return kExitOk;
    }
    if (first == "help") {
        if (args.size() == 1) {
            printHelp(stdout);
            return kExitOk;
        }
        const Command* c = findCommand(args[1]);
        if (!c) return unknownCommand(args[1]);
        std::fwrite(c->usage.data(), 1, c->usage.size(), stdout);
        return kExitOk;
    }
    const Command* c = findCommand(first);
    if (!c) return unknownCommand(first);
    if (helpRequested(*c, args.subspan(1))) return kExitOk;
    return c->run(args.subspan(1));
}

}  // namespace l3tool
