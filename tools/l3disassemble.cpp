// l3disassemble [--strict] [--quiet] INPUT OUTRECORD OUTANCILLARY

#include <cstdio>

#include "l3disassemble/command.h"

int main(int argc, char** argv) {
    return l3disassemble::runDisassembleCommand(argc, argv, stdout, stderr);
}
