#pragma once
// The parts of the _l3 extension module, each bound by its own file: the dtypes of frames
// and records (dtypes.cpp), the stream object (stream_object.cpp), the record file
// conversions (records.cpp), the check of a file (check.cpp), and the files it reads
// (file_input.cpp) and writes (file_output.cpp).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

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

// A file that cannot be read or written, carried out of the code that runs without the GIL
// and raised as OSError (with the system's error) by raiseFileError.
struct FileError {
    std::string path;
    int error;
};
[[noreturn]] void raiseFileError(const FileError& e);
// The whole file at path; throws FileError. Needs no GIL.
std::vector<uint8_t> readFileBytes(const std::string& path);

// Bytes to write, and writing them: paths[k] gets bytes[k], each whole or not at all.
// Raises OSError (two paths name one file, a directory, a file with hard links, or the
// system's error); the GIL is released while the bytes are written.
struct FileBytes {
    const uint8_t* data;
    size_t size;
};
void writeFiles(const std::vector<std::string>& paths, const std::vector<FileBytes>& bytes);

}  // namespace l3py
