#pragma once
// The l3 program's commands: each takes its own arguments (argv[0] is the command name)
// and returns the exit code.

namespace l3tool {

int repackCommand(int argc, char** argv);

}  // namespace l3tool
