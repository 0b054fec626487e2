// l3disassemble [--strict] [--quiet] INPUT OUTRECORD OUTANCILLARY

#include <cstdio>

#include "disassemble/run_command.h"

int main(int argc, char** argv) {
    return l3::runDisassembleCommand(argc, argv, stdout, stderr);
}
