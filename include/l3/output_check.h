#pragma once
// The rule every program's outputs keep, checked on the names before the first byte is
// written: an output never names an input (by the same path, a symbolic link or another
// hard link: files are compared by device and inode), two outputs of one run never name the
// same file, and, where the caller asks, an existing file is not replaced. Names that are
// not files are left out: standard input or output ("-", or an empty name, which a caller
// gives for its null device) and devices or named pipes, which are written in place and
// never replaced.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace l3 {

// Which file a name leads to: an existing one by device and inode (through symbolic
// links), one not there yet by its folder's device and inode and its last component, so
// that "d/x" and "d/./x" are one file before either exists.
struct FileKey {
    bool known = false;  // false for "-", "" and names whose folder cannot be looked at
    bool exists = false;
    bool regular = false;    // an existing regular file
    bool directory = false;  // an existing directory
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t links = 0;  // of an existing file: its number of names
    std::string entry;   // of a name not there yet: its last component
};
FileKey fileKey(const std::string& path);
// True when both keys are known and lead to one file (devices and pipes included).
bool sameFile(const FileKey& a, const FileKey& b);

struct OutputRules {
    bool inPlace = false;         // output k replaces input k on purpose
    bool replaceExisting = true;  // false: an existing regular file is refused
    bool replaceLinked = true;    // false: a regular file with several names is refused
};

enum class OutputConflict {
    none,
    namesInput,   // output names input `other`
    namesOutput,  // output names the same file as output `other` (other < output)
    exists,       // an existing regular file, and rules.replaceExisting is false
    directory,    // the name is an existing directory
    linked,       // a file with several names, and rules.replaceLinked is false
};

struct OutputCheck {
    OutputConflict conflict = OutputConflict::none;
    size_t output = 0;  // index of the output refused
    size_t other = 0;   // the input or earlier output it collides with
    explicit operator bool() const { return conflict != OutputConflict::none; }
};

// The first output that may not be written, in the order given (outputs before inputs
// are looked at, so that the message names the name the user got wrong).
OutputCheck checkOutputs(std::span<const std::string> inputs, std::span<const std::string> outputs,
                         const OutputRules& rules);

}  // namespace l3
