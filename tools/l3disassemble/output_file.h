#pragma once
// l3disassemble's two outputs: each written under a temporary name and renamed into place
// only when the whole run succeeded, so that a failed run leaves no file behind.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "l3/disassemble.h"
#include "l3/replace_file.h"

namespace l3disassemble {

// The record entries come from the check in blocks of this size, each written whole.
constexpr size_t kWriteBlockBytes = l3::kCheckedBlockBytes;

// "-": standard input or standard output.
bool isStandardStream(const char* path);

// One output: a file written under a temporary name beside it and renamed into place at
// the end; standard output, a device or a named pipe (spooled to an unnamed temporary file
// until the end, then copied to the sink); or the null device "nul" (nothing is written).
struct Output {
    const char* path = nullptr;
    l3::NewFile made;  // a file: its temporary name and the target it is renamed onto
    FILE* file = nullptr;
    FILE* sink = nullptr;  // where a spooled output goes: standard output or the path itself
    uint64_t written = 0;
    uint64_t reserved = 0;   // the file's blocks are reserved up to here (its size)
    bool reservable = true;  // false once reserving failed (a file system without it)
    std::string error;       // why writing failed; empty while all is well
};

// Opens path ("-" for standard output, "nul" for nothing). Returns false, with out.error
// set, when it cannot be created.
bool openOutputFile(Output& out, const char* path);

// Appends bytes. Returns false once a write failed (out.error says why); later calls then
// write nothing.
bool writeOut(Output& out, const uint8_t* bytes, size_t count);

// Puts head (when not null) at the start of the output and closes it: a file is complete
// under its temporary name, a sink receives everything. Returns false on failure.
bool completeOutput(Output& out, const uint8_t* head, size_t headCount);

// Renames a completed file onto its name; a replaced file's mode, owner, group and
// extended attributes stay.
bool renameIntoPlace(Output& out);

// Removes what a failed run wrote.
void discardOutput(Output& out);

}  // namespace l3disassemble
