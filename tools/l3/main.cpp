// l3 COMMAND [OPTIONS] ARGS: the toolkit's multi-command program (the dispatch is
// runProgram, which the WebAssembly build in web/ runs too).

#include <cstddef>
#include <span>

#include "command.h"

int main(int argc, char** argv) {
    return l3tool::runProgram(std::span<char* const>(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0)));
}
