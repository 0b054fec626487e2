// The WebAssembly module's entry: runs `l3 ARGS...` as the l3 program does, over the
// module's in-memory files, and can run again and again in one instance (web/worker.js
// calls it once per command line).

#include <emscripten.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <span>

#include "command.h"

// argv[0] is the program's name, as for main. Returns the exit code; what the run printed
// has reached the module's standard output and error when it returns.
extern "C" EMSCRIPTEN_KEEPALIVE int l3_run(int argc, char** argv) {
    // The module's file system starts with the umask 0777, which would make every new file
    // unreadable (even to the worker): the usual 022 instead, before any command asks.
    static const bool masked = (::umask(022), true);
    (void)masked;
    const int code =
        l3tool::runProgram(std::span<char* const>(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0)));
    std::fflush(stdout);
    std::fflush(stderr);
    std::clearerr(stdout);  // a failed write to either ends with this run
    std::clearerr(stderr);
    return code;
}
