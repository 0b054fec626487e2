#pragma once
// The commands of the l3 program: one table of (name, summary, usage, function), so that
// l3 --help, l3 help COMMAND and COMMAND --help all come from one place. Each command is
// in its own file and gets its arguments after the command name.

#include <cstdio>
#include <span>
#include <string_view>

#include "l3/status.h"

namespace l3tool {

// The exit codes every command shares; the others come from a call's status (exitCode).
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitUnreadable = 2;  // also: an output could not be written
inline constexpr int kExitDamaged = 3;

// The exit code of a command whose work ended with status: 0 ok, 1 usage, 2 a file,
// 3 no Layer III stream, 4 damage (or no undo information), 5 what the edit cannot do
// (no fit, a range, no layout, unlike inputs), 6 an internal fault or an inexact undo,
// 7 a value or tag that cannot be written.
int exitCode(l3::Status status);

struct Command {
    std::string_view name;
    std::string_view summary;  // one line for l3 --help
    std::string_view usage;    // the full help text of the command
    int (*run)(std::span<char* const> args);
};

std::span<const Command> commands();
// Runs `l3 ARGS...` (args without the program name) and gives its exit code: the
// program's help and version, or the command named first.
int runProgram(std::span<char* const> args);
const Command* findCommand(std::string_view name);

// Prints "l3 COMMAND: usage error text" and the usage line; returns kExitUsage.
int usageError(const Command& command, const char* message, std::string_view argument = {});
// True when args holds -h or --help; then the command's usage is on standard output.
bool helpRequested(const Command& command, std::span<char* const> args);

int runInfo(std::span<char* const> args);
int runCheck(std::span<char* const> args);
int runRepack(std::span<char* const> args);
int runGain(std::span<char* const> args);
int runCut(std::span<char* const> args);
int runSplit(std::span<char* const> args);
int runJoin(std::span<char* const> args);
extern const std::string_view kInfoUsage;
extern const std::string_view kCheckUsage;
extern const std::string_view kRepackUsage;
extern const std::string_view kGainUsage;
extern const std::string_view kCutUsage;
extern const std::string_view kSplitUsage;
extern const std::string_view kJoinUsage;

}  // namespace l3tool
