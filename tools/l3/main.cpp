// l3 COMMAND [OPTIONS] ARGS: the toolkit's multi-command program.

#include <cstdio>
#include <span>
#include <string_view>

#include "command.h"

namespace {

void printHelp(FILE* out) {
    std::fprintf(out,
                 "usage: l3 COMMAND [OPTIONS] ARGS\n"
                 "       l3 help COMMAND | l3 COMMAND --help | l3 --version\n\ncommands:\n");
    for (const l3tool::Command& c : l3tool::commands())
        std::fprintf(out, "  %-8.*s %.*s\n", static_cast<int>(c.name.size()), c.name.data(),
                     static_cast<int>(c.summary.size()), c.summary.data());
}

int unknownCommand(std::string_view name) {
    std::fprintf(stderr, "l3: '%.*s' is not an l3 command; see 'l3 --help'\n",
                 static_cast<int>(name.size()), name.data());
    return l3tool::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    const std::span<char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
    if (args.empty()) {
        printHelp(stderr);
        return l3tool::kExitUsage;
    }
    const std::string_view first = args[0];
    if (first == "--help" || first == "-h") {
        printHelp(stdout);
        return l3tool::kExitOk;
    }
    if (first == "--version") {
        std::printf("l3 %s\n", L3_VERSION);
        return l3tool::kExitOk;
    }
    if (first == "help") {
        if (args.size() == 1) {
            printHelp(stdout);
            return l3tool::kExitOk;
        }
        const l3tool::Command* c = l3tool::findCommand(args[1]);
        if (!c) return unknownCommand(args[1]);
        std::fwrite(c->usage.data(), 1, c->usage.size(), stdout);
        return l3tool::kExitOk;
    }
    const l3tool::Command* c = l3tool::findCommand(first);
    if (!c) return unknownCommand(first);
    if (l3tool::helpRequested(*c, args.subspan(1))) return l3tool::kExitOk;
    return c->run(args.subspan(1));
}
