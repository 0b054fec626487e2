// The _l3 extension module under the l3 package (python/l3/__init__.py).
#include "bindings.h"
#include "l3/band_edges.h"

PYBIND11_MODULE(_l3, m) {
    m.doc() = "MPEG audio Layer III streams as numpy arrays, read and written bit-exactly";
    m.attr("frame_dtype") = l3py::frameDtype();
    m.attr("record_dtype") = l3py::recordDtype();
    m.attr("record_head_dtype") = l3py::recordHeadDtype();
    m.def(
        "long_band_edges",
        [](uint32_t header) {
            const auto& row = l3::longBandEdges[static_cast<size_t>(l3::bandEdgeRow(header))];
            pybind11::array_t<int32_t> edges(static_cast<pybind11::ssize_t>(row.size()));
            for (size_t b = 0; b < row.size(); ++b)
                edges.mutable_at(static_cast<pybind11::ssize_t>(b)) = row[b];
            return edges;
        },
        pybind11::arg("header"),
        "The long-block scalefactor band boundaries for a frame header: 23 line numbers, the "
        "first line of each band and 576 last");
    l3py::bindFailure(m);
    l3py::bindStream(m);
    l3py::bindRecords(m);
    l3py::bindFiles(m);
    l3py::bindCheck(m);
    l3py::bindEdits(m);
}
