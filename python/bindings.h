#pragma once
// The parts of the _l3 extension module, each bound by its own file: the dtypes of frames
// and records (dtypes.cpp), the stream object (stream_object.cpp) and the record file
// conversions (records.cpp).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

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

}  // namespace l3py
