#pragma once
// How a call of the toolkit ended: one value for every entry point of include/l3/ (assembly,
// disassembly, inspect, edit, the files layer), each with its own name. A program maps them
// to its exit codes (several may share one: exitCode in tools/l3/commands.cpp, the mains of
// l3assemble and l3disassemble); nothing in the library knows about those.

#include <cstdint>

namespace l3 {

enum class Status : uint8_t {
    ok,          // done
    usage,       // an option or argument the call cannot take
    io,          // a file could not be read or written
    notLayer3,   // the input holds no Layer III stream
    damaged,     // a frame whose main data does not decode, or other damage the call refuses
    noUndo,      // undoing a gain change of a file that records none
    cannotFit,   // repack: the frames do not fit the single bit rate asked for
    outOfRange,  // cut, split: a range empty or outside the stream, a point no piece can start at
    cannotLay,   // the frames of a cut, split or join fit no layout
    mismatch,    // join: an input unlike the first (version, sampling rate, channels)
    verify,      // the result did not read back as it was meant to: an internal fault
    inexact,     // gain: the change could not be undone exactly; nothing is written
    badValue,    // an edited value that the format cannot code
    tagRefused,  // gain: the file's ID3v2 tag cannot be rewritten to hold loudness tags
    cutShort,    // assembly: the record file ends before its head's frame count or in a record
    badRecord,   // assembly: a record no frame can be laid out from (a field out of range)
    writeFailed, // assembly: the output, once open, could not be written (elsewhere: io)
    cannotCarry, // disassembly: a frame records cannot carry (a gap over 8192 bits, a CRC
                 // mismatch)
};

inline constexpr int kStatusCount = static_cast<int>(Status::cannotCarry) + 1;

// The enumerator's own name ("ok", "cannotFit", ...).
const char* statusName(Status status);

}  // namespace l3
