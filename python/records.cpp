// Records and streams: the disassembler and the assembler of the library, for
// Stream.to_records() and l3.from_records(), bit-exact with l3disassemble and l3assemble.
#include <string>
#include <vector>

#include "bindings.h"
#include "l3/assemble.h"
#include "l3/disassemble.h"

namespace l3py {

namespace {

py::bytes toBytes(const std::vector<uint8_t>& bytes) {
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The record file (head and entries) and the ancillary file l3disassemble writes for data.
py::tuple disassemble(py::buffer data) {
    const py::buffer_info info = data.request();
    l3::DisassembleResult result;
    {
        py::gil_scoped_release release;
        result = l3::disassemble(static_cast<const uint8_t*>(info.ptr),
                                 static_cast<size_t>(info.size * info.itemsize), nullptr);
    }
    if (result.status == l3::Status::verify) throw std::runtime_error(result.message);
    if (result.status != l3::Status::ok) throw py::value_error(result.message);
    return py::make_tuple(toBytes(result.records), toBytes(result.ancillary));
}

// The stream l3assemble writes from a record file and an ancillary file.
py::bytes assemble(py::buffer records, py::buffer ancillary) {
    const py::buffer_info r = records.request();
    const py::buffer_info a = ancillary.request();
    std::vector<uint8_t> output;
    l3::AssembleResult result;
    {
        py::gil_scoped_release release;
        result = l3::assembleRecords(
            static_cast<const uint8_t*>(r.ptr), static_cast<size_t>(r.size * r.itemsize),
            static_cast<const uint8_t*>(a.ptr), static_cast<size_t>(a.size * a.itemsize), output);
    }
    if (result.status != l3::Status::ok) throw py::value_error(result.message);
    return toBytes(output);
}

}  // namespace

void bindRecords(py::module_& m) {
    m.def("disassemble", &disassemble, py::arg("data"),
          "(record file bytes, ancillary file bytes) of a stream, as l3disassemble writes them");
    m.def("assemble", &assemble, py::arg("records"), py::arg("ancillary"),
          "The stream l3assemble writes from a record file and an ancillary file");
}

}  // namespace l3py
