#pragma once
// The parts of the _l3 extension module, each bound by its own file: the dtypes of frames
// and records (dtypes.cpp), the stream object (stream_object.cpp), the record file
// conversions (records.cpp), the check of a file (check.cpp), l3 info and the edits
// (edits.cpp), the files it reads (file_input.cpp) and writes (file_output.cpp), and its
// failures (failure.cpp).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "l3/status.h"

namespace l3py {

namespace py = pybind11;

// numpy's view of l3::FrameRecord as the library holds it in memory (aligned, native order):
// the fields a Frame shows, under its names; working and reserved fields left out.
py::dtype frameDtype();
// The record file's 5614-byte entry: a packed little-endian record and its ancillary bit
// count. And the 12-byte head.
py::dtype recordDtype();
py::dtype recordHeadDtype();

void bindStream(py::module_& m);
void bindRecords(py::module_& m);
void bindFiles(py::module_& m);
void bindCheck(py::module_& m);

// A failure, raised in Python as the l3.Error subclass named kind (python/l3/_errors.py):
// with the exit code the l3 command gives it, the message it prints (without "l3 COMMAND: "),
// and for a file that cannot be read or written the system's error (0 where none) and the
// file. Thrown as a C++ exception, also where the GIL is released; the module's translator
// raises it as _l3.Failure(kind, status, message, error, path), which the package turns into
// its class.
struct Failure {
    const char* kind;
    l3::Status status;
    std::string message;
    int error = 0;
    std::string path;
};
void bindFailure(py::module_& m);
[[noreturn]] void fail(const char* kind, l3::Status status, std::string message);

// The exception class of a status (l3/status.h).
const char* editKind(l3::Status status);
[[noreturn]] void failEdit(l3::Status status, std::string message);

// The whole file at path; throws Failure (FileError, "PATH: cannot read: why"). Needs no GIL.
std::vector<uint8_t> readFileBytes(const std::string& path);

// Bytes to write, and writing them: paths[k] gets bytes[k], every one or none (each through
// a temporary file renamed into place). Throws Failure (FileError) naming the first path
// that may not be written: one naming any of inputs or another path, a directory, a file
// with hard links, an existing file unless replace; or the system's error. Needs no GIL.
struct FileBytes {
    const uint8_t* data;
    size_t size;
};
void checkOutputs(const std::vector<std::string>& inputs, const std::vector<std::string>& paths,
                  bool replace);
void writeFiles(const std::vector<std::string>& paths, const std::vector<FileBytes>& bytes,
                const std::vector<std::string>& inputs = {}, bool replace = true);

void bindEdits(py::module_& m);

}  // namespace l3py
