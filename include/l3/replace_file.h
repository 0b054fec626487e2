#pragma once
// Writing a file so that nothing the user had is lost or weakened: the bytes go to a
// temporary file beside the target (a unique name, never one that exists) and are renamed
// onto it only once complete, so a failure leaves what was there. The new file takes what
// the file it replaces had: permission bits, owner and group (where the process may set
// them) and extended attributes (ACLs among them; skipped where the file system has none);
// a file that did not exist gets the permissions a newly created file gets (0666 less the
// umask). When asked, it also gets the access and modification times of another file.
// A name that leads to a device or named pipe is written in place, never replaced; a
// symbolic link stays a link and the file it leads to gets the result (see outputPlace).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace l3 {

// A file's access and modification times, taken before it is read (reading may move the
// access time).
struct FileTimes {
    bool known = false;
    int64_t accessSeconds = 0, accessNanoseconds = 0;
    int64_t modifySeconds = 0, modifyNanoseconds = 0;
};
// Not known for a name that cannot be looked at.
FileTimes fileTimes(const std::string& path);

struct ReplaceOptions {
    FileTimes times;  // when known: put on the result
};

// A file being made: under a temporary name until committed.
struct NewFile {
    std::string path;    // as the user named it
    std::string target;  // what the temporary file is renamed onto
    std::string temp;    // the temporary name, empty once renamed or when written in place
    int fd = -1;         // open for writing until closeNewFile
};

// Opens path for writing: a temporary file beside its target, or the device itself. False,
// with error (strerror text), when neither can be opened.
bool createNewFile(NewFile& file, const std::string& path, std::string& error);

// Writes all of bytes at the file's current end. False with error.
bool appendToNewFile(NewFile& file, const uint8_t* bytes, size_t size, std::string& error);

// Closes the descriptor (a late write error shows here). False with error.
bool closeNewFile(NewFile& file, std::string& error);

// Closes it if open, gives the temporary file the attributes it is to keep and renames it
// onto its target. False with error; the temporary file is then still there (discard it).
bool commitNewFile(NewFile& file, const ReplaceOptions& options, std::string& error);

// Closes it if open and removes the temporary file; the target is left as it was.
void discardNewFile(NewFile& file);

// All of the above for bytes already made: false with error, the target untouched.
bool writeNewFile(const std::string& path, const uint8_t* bytes, size_t size,
                  const ReplaceOptions& options, std::string& error);

// Writes every one of several files or none: each is made under its temporary name first,
// then all are renamed into place (a file made new is removed again if a later rename
// fails). False with error and failed, the index of the file that could not be written.
bool writeNewFiles(std::span<const std::string> paths,
                   std::span<const std::span<const uint8_t>> bytes, const ReplaceOptions& options,
                   std::string& error, size_t& failed);

}  // namespace l3
