// The _l3 extension module under the l3 package (python/l3/__init__.py).
#include "bindings.h"

PYBIND11_MODULE(_l3, m) {
    m.doc() = "MPEG audio Layer III streams as numpy arrays, read and written bit-exactly";
    m.attr("frame_dtype") = l3py::frameDtype();
    m.attr("record_dtype") = l3py::recordDtype();
    m.attr("record_head_dtype") = l3py::recordHeadDtype();
    l3py::bindStream(m);
    l3py::bindRecords(m);
}
