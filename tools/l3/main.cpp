// l3 COMMAND [OPTIONS] ARGS

#include <cstdio>
#include <cstring>

#include "commands.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "repack") == 0)
        return l3tool::repackCommand(argc - 1, argv + 1);
    std::fputs("usage: l3 repack ...\n", stderr);
    return 1;
}
